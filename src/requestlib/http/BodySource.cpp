#include <algorithm>
#include <cstring>

#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/files/Block.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

BodySource BodySource::memory(std::string bytes) {
    auto owner = std::make_shared<const std::string>(std::move(bytes));
    return borrowed(owner, owner->data(), owner->size());
}

BodySource BodySource::borrowed(std::shared_ptr<const void> owner, const char* data,
                                std::uint64_t size) {
    BodySource source;
    source.present_ = true;
    source.owner_ = std::move(owner);
    source.data_ = data;
    source.length_ = size;
    return source;
}

BodySource BodySource::part(std::uint64_t offset, std::uint64_t length) const {
    if (file_)
        return slice(file_, offset_ + offset, length);
    return borrowed(owner_, data_ + offset, length);
}

BodySource BodySource::slice(std::shared_ptr<const SourceFile> file, std::uint64_t offset,
                             std::uint64_t length) {
    BodySource source;
    source.present_ = true;
    source.file_ = std::move(file);
    source.offset_ = offset;
    source.length_ = length;
    return source;
}

std::optional<std::size_t> BodySource::read(std::uint64_t at, char* buffer,
                                            std::size_t capacity) const {
    auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(capacity, length_ - std::min(at, length_)));
    if (!file_) {
        if (wanted > 0)
            std::memcpy(buffer, data_ + at, wanted);
        return wanted;
    }
    // curl reads into the same buffer every time: one short read puts the rest in step.
    if (const auto step = stepIntoAlignment(buffer, offset_ + at); step > 0)
        wanted = std::min(wanted, step);
    return file_->read(offset_ + at, buffer, wanted);
}

std::string BodySource::hexDigest(StreamingDigest::Algorithm algorithm) const {
    StreamingDigest digest(algorithm);
    if (!file_) {
        if (data_)
            digest.update(data_, static_cast<std::size_t>(length_));
        return digest.hexDigest();
    }
    // Kept by the hashing thread: a fresh block would fault its pages in for every body.
    thread_local const Block buffer = makeBlock();
    if (!buffer)
        return {};
    for (std::uint64_t at = 0; at < length_;) {
        const auto got = read(at, buffer.get(), kBlockBytes);
        if (!got || *got == 0)
            return {};  // unreadable or shorter than it was: no digest, nothing to sign
        digest.update(buffer.get(), *got);
        at += *got;
    }
    return digest.hexDigest();
}

}  // namespace quilo::detail

#include "requestlib/files/PayloadSink.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "requestlib/base/Errors.hpp"
#include "requestlib/files/DownloadFile.hpp"

namespace quilo::detail {

// curl hands the body over 16 KiB at a time: written one by one, each would cost a system call.
std::optional<Error> PayloadSink::write(const char* data, std::size_t size, int status) {
    if (!file_ && memory_.size() + size > maxMemory_)
        return makeError(ErrorKind::response, Code::ResponseTooLarge,
                         "the answer is larger than " + std::to_string(maxMemory_) + " bytes",
                         status);
    if (length_ > 0 && size_ + size > length_)
        return makeError(ErrorKind::response, Code::MalformedResponse,
                         "the answer runs past the range it was asked for", status);
    if (md5_)
        md5_->update(data, size);
    if (!file_) {
        memory_.append(data, size);
        size_ += size;
        return std::nullopt;
    }
    if (!block_ && !(block_ = makeBlock()))
        return makeError(ErrorKind::transport, Code::OutOfMemory, "no memory to take the answer");
    while (size > 0) {
        const std::size_t taken = std::min(size, kBlockBytes - gathered_);
        std::memcpy(block_.get() + gathered_, data, taken);
        gathered_ += taken;
        size_ += taken;
        data += taken;
        size -= taken;
        if (gathered_ == kBlockBytes || (length_ > 0 && size_ == length_)) {
            if (auto error = flush())
                return error;
        }
    }
    return std::nullopt;
}

std::optional<Error> PayloadSink::flush() {
    if (gathered_ == 0)
        return std::nullopt;
    const std::uint64_t at = offset_ + size_ - gathered_;
    const std::size_t size = std::exchange(gathered_, 0);
    auto error = file_->write(at, block_, size);
    if (length_ > 0 && size_ == length_)
        block_.reset();  // a range is done: its memory goes
    return error;
}

std::optional<Error> PayloadSink::complete(int status) {
    if (auto error = flush())
        return error;
    if (auto error = file_ ? file_->drain() : std::nullopt)
        return error;
    if (length_ > 0 && size_ != length_)
        return makeError(
            ErrorKind::transport, Code::TruncatedResponse,
            "the answer ended " + std::to_string(length_ - size_) + " bytes before its last byte",
            status);
    return std::nullopt;
}

std::optional<Error> PayloadSink::restart() {
    if (file_) {
        if (auto error = file_->truncate())
            return error;
    }
    gathered_ = 0;
    memory_.clear();
    if (md5_)
        md5_->reset();
    size_ = 0;
    return std::nullopt;
}

std::string PayloadSink::range() const {
    const std::uint64_t first = origin_ + offset_;
    if (length_ > 0)
        return "bytes=" + std::to_string(first + size_) + "-" + std::to_string(first + length_ - 1);
    return size_ > 0 ? "bytes=" + std::to_string(first + size_) + "-" : std::string();
}

std::string PayloadSink::expectedRange(std::uint64_t total) const {
    const std::uint64_t first = origin_ + offset_;
    std::string range = "bytes " + std::to_string(first + size_) + "-";
    if (length_ == 0)
        return range;
    return range + std::to_string(first + length_ - 1) + "/" + std::to_string(total);
}

}  // namespace quilo::detail

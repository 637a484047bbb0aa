#include "requestlib/s3/PartStream.hpp"

#include <thread>

#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Hooks.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/http/Engine.hpp"

namespace quilo::detail {

PartStream::PartStream(S3ObjectRequest::Reader reader, std::uint64_t partSize, std::size_t room,
                       bool hash)
    : reader_(std::move(reader)), partSize_(partSize), hash_(hash), room_(room), most_(room) {
    spare_.reserve(most_);  // so that memory coming back never needs any
}

std::shared_ptr<char[]> PartStream::memory() {
    std::unique_ptr<char[]> bytes;
    {
        std::lock_guard lock(spareMutex_);
        if (!spare_.empty()) {
            bytes = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!bytes)
        bytes.reset(new char[static_cast<std::size_t>(partSize_)]);
    return {bytes.release(), [weak = weak_from_this()](char* given) {
                std::unique_ptr<char[]> back(given);
                if (const auto self = weak.lock()) {
                    std::lock_guard lock(self->spareMutex_);
                    if (self->spare_.size() < self->most_)
                        self->spare_.push_back(std::move(back));
                }
            }};
}

void PartStream::start(Deliver deliver) {
    deliverTo(std::move(deliver));
    std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void PartStream::deliverTo(Deliver deliver) {
    std::lock_guard lock(mutex_);
    deliver_ = std::move(deliver);
}

void PartStream::release() {
    std::lock_guard lock(mutex_);
    ++room_;
    wake_.notify_one();
}

// What delivers a part may hold what holds this stream: it goes now, not with the thread.
void PartStream::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    deliver_ = nullptr;
    wake_.notify_one();
}

bool PartStream::stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void PartStream::run() {
    for (bool last = false; !last;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopped_ || room_ > 0; });
            if (stopped_)
                return;
            --room_;
        }
        Part part = read();
        last = part.last || part.error;
        if (stopped())
            return;
        // Whoever takes the parts now takes this one: it may have changed on the way.
        Engine::instance().post([self = shared_from_this(), part = std::move(part)]() mutable {
            Deliver deliver;
            {
                std::lock_guard lock(self->mutex_);
                deliver = self->deliver_;
            }
            if (deliver)
                deliver(std::move(part));
        });
    }
}

// Fills a part, one call of the reader after another, until it is full or the stream ends. The
// reader writes straight into the part's memory, which nothing fills before it.
PartStream::Part PartStream::read() {
    Part part;
    std::shared_ptr<char[]> bytes;
    const auto size = static_cast<std::size_t>(partSize_);
    std::size_t filled = 0;
    try {
        bytes = memory();
        while (filled < size && !stopped()) {
            const std::size_t room = size - filled;
            const auto got = reader_(std::span<char>(bytes.get() + filled, room));
            if (!got || *got > room) {
                part.error =
                    makeError(ErrorKind::localFile, Code::CannotReadStream,
                              got ? "the reader said it wrote more than it was given room for"
                                  : "the reader could not read the stream");
                return part;
            }
            if (*got == 0) {
                part.last = true;
                break;
            }
            filled += *got;
        }
    } catch (...) {
        part.error = makeError(ErrorKind::localFile, Code::CannotReadStream,
                               "the reader failed: " + currentExceptionText());
        return part;
    }
    if (hash_)
        part.sha256 = sha256Hex(std::string_view(bytes.get(), filled));
    part.bytes = BodySource::borrowed(bytes, bytes.get(), filled);
    return part;
}

}  // namespace quilo::detail

#include "requestlib/files/TrailingDigest.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "requestlib/files/Block.hpp"

namespace quilo::detail {
namespace {

bool readFully(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
    for (std::size_t got = 0; got < size;) {
        const ssize_t n = ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TrailingDigest::TrailingDigest(int fd) : fd_(fd) {
    try {
        worker_ = std::thread([this] { hash(); });
    } catch (const std::system_error&) {
        // No thread to be had: finish() hashes it all on its caller's thread.
    }
}

TrailingDigest::~TrailingDigest() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void TrailingDigest::advance(std::uint64_t complete) {
    {
        std::lock_guard lock(mutex_);
        if (complete <= complete_)
            return;
        complete_ = complete;
    }
    changed_.notify_all();
}

void TrailingDigest::finish(std::uint64_t size) {
    {
        std::lock_guard lock(mutex_);
        if (size_)
            return;
        size_ = size;
        complete_ = std::max(complete_, size);
    }
    changed_.notify_all();
    if (!worker_.joinable())
        hash();
}

std::optional<std::string> TrailingDigest::result() {
    std::lock_guard lock(mutex_);
    return result_;
}

bool TrailingDigest::due() const {
    return stopping_ || hashed_ < std::min(complete_, size_.value_or(complete_)) ||
           (size_ && hashed_ >= *size_);
}

// Reads and hashes what is complete, a block at a time, until the size is known and reached.
void TrailingDigest::hash() {
    const Block block = makeBlock();
    bool readable = block != nullptr;
    std::unique_lock lock(mutex_);
    while (readable && !(size_ && hashed_ >= *size_)) {
        changed_.wait(lock, [this] { return due(); });
        if (stopping_)
            return;
        const std::uint64_t end = std::min(complete_, size_.value_or(complete_));
        if (hashed_ >= end)
            continue;
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(end - hashed_, kBlockBytes));
        const std::uint64_t at = hashed_;
        lock.unlock();
        readable = readFully(fd_, block.get(), length, at);
        if (readable)
            md5_.update(block.get(), length);
        lock.lock();
        hashed_ += readable ? length : 0;
    }
    changed_.wait(lock, [this] { return stopping_ || size_; });
    result_ = readable ? md5_.hexDigest() : std::string();
}

}  // namespace quilo::detail

#include "requestlib/files/StreamWriter.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "requestlib/base/Errors.hpp"

namespace quilo::detail {

StreamWriter::StreamWriter(int fd, std::string destination)
    : fd_(fd), destination_(std::move(destination)) {
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: each block is written as it is handed over.
    }
}

StreamWriter::~StreamWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

std::optional<Error> StreamWriter::hand(Block& block, std::size_t size) {
    if (!worker_.joinable()) {
        if (md5_)
            md5_->update(block.get(), size);
        return put(block.get(), size);
    }
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return error_ || queue_.size() < kQueued; });
        if (error_)
            return error_;
        queue_.push_back({std::move(block), size});
        if (!spare_.empty()) {
            block = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    changed_.notify_all();
    if (!block && !(block = makeBlock()))
        return makeError(ErrorKind::transport, Code::OutOfMemory, "no memory to take the answer");
    return std::nullopt;
}

std::optional<Error> StreamWriter::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty(); });
    return error_;
}

void StreamWriter::digest() {
    drain();  // the worker hashes nothing while the queue is empty
    md5_.emplace(StreamingDigest::Algorithm::md5);
}

std::string StreamWriter::md5() {
    drain();
    return md5_ ? md5_->hexDigest() : std::string();
}

void StreamWriter::run() {
    // A reader that goes away must fail the write, not end the process.
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        // A deque keeps its front in place while blocks are pushed behind it.
        const Queued& next = queue_.front();
        const bool failed = error_.has_value();
        lock.unlock();
        std::optional<Error> error;
        if (!failed && md5_)
            md5_->update(next.block.get(), next.size);
        if (!failed)
            error = put(next.block.get(), next.size);
        lock.lock();
        if (error)
            error_ = std::move(error);
        spare_.push_back(std::move(queue_.front().block));
        queue_.pop_front();
        changed_.notify_all();
    }
}

std::optional<Error> StreamWriter::put(const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd_, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fileError(Code::CannotWriteFile, "cannot write", destination_);
        done += static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

}  // namespace quilo::detail

#include "requestlib/OverlappedDigest.hpp"

#include <system_error>
#include <utility>

namespace quilo::detail {

OverlappedDigest::~OverlappedDigest() {
    stopWorker();
}

void OverlappedDigest::update(const char* data, std::size_t size) {
    total_ += size;
    if (!worker_.joinable() && total_ <= kInlineBytes) {
        digest_.update(data, size);
        return;
    }
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { hashQueued(); });
        } catch (const std::system_error&) {
            // No thread to be had: hash in place, slower but just as right.
            digest_.update(data, size);
            return;
        }
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queuedBytes_ < kMaxQueuedBytes; });
    queue_.emplace_back(data, size);
    queuedBytes_ += size;
    changed_.notify_all();
}

std::string OverlappedDigest::hexDigest() {
    stopWorker();
    return digest_.hexDigest();
}

void OverlappedDigest::reset() {
    stopWorker();
    digest_.reset();
    total_ = 0;
}

void OverlappedDigest::hashQueued() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::string chunk = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        digest_.update(chunk.data(), chunk.size());
        lock.lock();
        queuedBytes_ -= chunk.size();
        changed_.notify_all();
    }
}

// Lets the worker hash what is queued, then ends it; the digest is the caller's again after.
void OverlappedDigest::stopWorker() {
    if (!worker_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    worker_.join();
    closing_ = false;
}

}  // namespace quilo::detail

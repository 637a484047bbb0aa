// Uploads every file below a folder, eight at a time, from one coroutine, then lists what the
// bucket holds under the prefix, a page at a time. The coroutine runs on main's thread: each
// await resumes it through main's own small event loop, never on the library's thread.
//
//   upload_tree DIR BUCKET PREFIX
//
// Prints "<key>\t<size>" for every object listed. The endpoint and keys come from
// AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY.
#include <condition_variable>
#include <coroutine>
#include <deque>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <quilo/quilo.hpp>

#include "Environment.hpp"

namespace {

namespace fs = std::filesystem;

// The caller's own executor: functions posted from any thread run on the thread in run().
class EventLoop {
  public:
    void post(std::function<void()> function) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(function));
        wake_.notify_one();
    }
    void run() {
        while (true) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;
            }
            auto function = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            function();
        }
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        wake_.notify_one();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopped_ = false;
};

// The smallest coroutine type: it starts at once and frees itself at its end.
struct Detached {
    struct promise_type {
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

bool failed(const auto& request) {
    if (request->error()) {
        std::cerr << "upload_tree: " << request->key().value_or(request->bucket().value_or(""))
                  << ": " << request->error()->description() << '\n';
    }
    return request->error().has_value();
}

Detached uploadTree(EventLoop& loop, fs::path dir, std::string bucket, std::string prefix,
                    int& status) {
    auto& client = *quilo::Quilo::sharedInstance();
    const auto token = quilo::use_awaitable.with(
        {.executor = [&loop](std::function<void()> resume) { loop.post(std::move(resume)); }});
    int failures = 0;
    // Each upload starts when asked for; awaiting the oldest keeps eight on the way.
    std::deque<quilo::Awaitable<quilo::QuiloObjectRquest>> uploads;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        if (uploads.size() == 8) {
            failures += failed(co_await uploads.front());
            uploads.pop_front();
        }
        const quilo::UploadObjectArgs args{
            .filePath = entry.path().string(),
            .bucket = bucket,
            .key = prefix + fs::relative(entry.path(), dir).generic_string()};
        uploads.push_back(client.uploadObject(args, token));
    }
    for (; !uploads.empty(); uploads.pop_front()) {
        failures += failed(co_await uploads.front());
    }

    quilo::ObjectPages pages(client, {.bucket = bucket, .prefix = prefix});
    while (const auto page = co_await pages.next(token)) {
        failures += failed(page);
        for (const auto& object : page->objects()) {
            std::cout << object.key << '\t' << object.size << '\n';
        }
    }
    status = failures == 0 ? 0 : 1;
    loop.stop();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || !example::configureFromEnvironment()) {
        std::cerr << "usage: upload_tree DIR BUCKET PREFIX (with AWS_ENDPOINT_URL, "
                     "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY set)\n";
        return 2;
    }
    EventLoop loop;
    int status = 1;
    uploadTree(loop, argv[1], argv[2], argv[3], status);
    loop.run();
    return status;
}

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "requestlib/Attempt.hpp"

namespace quilo::detail {

struct ExchangeHandlers {
    // The final (non-1xx) response line and headers have arrived.
    std::function<void(int status, const HeaderMap& headers)> onHeaders;
    // Cumulative request-body bytes sent / 2xx response-body bytes received, and their totals.
    std::function<void(std::uint64_t sent)> onSent;
    std::function<void(std::uint64_t received, std::uint64_t total)> onReceived;
    std::function<void(ExchangeResult result)> onDone;
};

// The library's network thread: one libcurl multi handle (so connections are reused across
// requests), a task queue and timers. Every hook of every request runs on this thread.
class Engine {
  public:
    using Task = std::function<void()>;
    using ExchangeId = std::uint64_t;

    static Engine& instance();

    // From any thread.
    void post(Task task);
    void postAfter(std::chrono::milliseconds delay, Task task);
    bool onEngineThread() const;

    // On the engine thread only. onDone is called exactly once, unless the exchange is aborted.
    ExchangeId start(AttemptSpec wire, ExchangeHandlers handlers);
    void abort(ExchangeId id);

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine();

  private:
    Engine();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quilo::detail

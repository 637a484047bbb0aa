#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

struct AttemptHandlers {
    // The final (non-1xx) head has arrived, before any of its body; an error ends the attempt.
    std::function<std::optional<Error>(int status, const HeaderMap& headers)> onHead;
    // Request-body bytes sent so far by this attempt.
    std::function<void(std::uint64_t sent)> onSent;
    // More of the payload has arrived.
    std::function<void()> onReceived;
    std::function<void(Answer answer)> onDone;
};

// The library's network thread: one libcurl multi handle (so connections are reused across
// requests), a task queue and timers; and a worker that hashes bodies ahead of sending. Every
// hook of every request runs on the network thread.
class Engine {
  public:
    using Task = std::function<void()>;
    using AttemptId = std::uint64_t;

    static Engine& instance();

    // From any thread.
    void post(Task task);
    void postAfter(std::chrono::milliseconds delay, Task task);
    bool onEngineThread() const;

    // On the engine thread only. onDone is called exactly once, later, unless stop() comes first.
    AttemptId start(Attempt attempt, AttemptHandlers handlers);
    void stop(AttemptId id);
    // The hex digest of `body`, computed off the network thread and handed to `done` on it
    // (empty when the body could not be read).
    void hash(BodySource body, std::function<void(std::string digest)> done,
              StreamingDigest::Algorithm algorithm = StreamingDigest::Algorithm::sha256);

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine();

  private:
    Engine();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quilo::detail

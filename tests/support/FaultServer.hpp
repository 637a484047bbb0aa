#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "quilo/requestlib/base/Types.hpp"

namespace quilo::test {

// A request as the server read it. Its body must come with a Content-Length (the library's do).
struct ServedRequest {
    std::string method;
    std::string target;  // as sent: still percent-encoded, query included
    HeaderMap headers;
    std::string body;
    std::uint64_t sequence = 0;  // 0 for the first request this server read
    std::uint64_t connection = 0;
};

// What the server does with a request:
//     FaultAction::reply(200, "hi").header("ETag", "\"...\"").delayed(20ms)
struct FaultAction {
    enum class Kind { answer, stall, hangUp, reset };

    Kind kind = Kind::answer;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers{};
    std::string body{};
    std::uint64_t generatedSize = 0;               // > 0: that many filler bytes, not `body`
    std::optional<std::uint64_t> contentLength{};  // promised instead of the true length
    std::chrono::milliseconds delay{0};            // before anything is written
    std::size_t chunkBytes = 0;                    // > 0: the body goes out this many bytes ...
    std::chrono::milliseconds chunkInterval{0};    // ... at a time, with this pause between
    bool close = false;                            // closes the connection after the answer
    bool cutHead = false;  // sends the status line and half the rest of the head, then closes
    std::chrono::milliseconds stallFor{-1};  // a stall's length; negative: until the server ends

    static FaultAction reply(int status, std::string body = {}) {
        return {.status = status, .body = std::move(body)};
    }
    static FaultAction generated(std::uint64_t size) { return {.generatedSize = size}; }
    // A 200 that promises `promised` bytes, sends `sent`, then closes the connection.
    static FaultAction truncated(std::string sent, std::uint64_t promised) {
        return {.body = std::move(sent), .contentLength = promised, .close = true};
    }
    // Reads the request and says nothing, then closes the connection.
    static FaultAction stall(std::chrono::milliseconds duration = std::chrono::milliseconds(-1)) {
        return {.kind = Kind::stall, .stallFor = duration};
    }
    static FaultAction hangUp() { return {.kind = Kind::hangUp}; }

    FaultAction&& header(std::string name, std::string value) && {
        headers.emplace_back(std::move(name), std::move(value));
        return std::move(*this);
    }
    FaultAction&& delayed(std::chrono::milliseconds by) && { return delay = by, std::move(*this); }
    FaultAction&& paced(std::size_t bytes, std::chrono::milliseconds interval) && {
        return chunkBytes = bytes, chunkInterval = interval, std::move(*this);
    }
};

// An HTTP/1.1 server on 127.0.0.1 for tests. Every request is read whole and handed to the
// handler (on the connection's own thread, so it must be thread-safe), which says what to do.
// The destructor ends everything, stalls included.
class FaultServer {
  public:
    using Handler = std::function<FaultAction(const ServedRequest&)>;
    // Sees the head of a request that expects 100 Continue: nullopt lets the body come; an
    // action answers instead, without reading the body, and the connection is then closed.
    using ContinueHandler = std::function<std::optional<FaultAction>(const ServedRequest&)>;

    explicit FaultServer(Handler handler = {});  // no handler: 200 with an empty body
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    void setHandler(Handler handler);
    void setContinueHandler(ContinueHandler handler);

    int port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string url(std::string_view target) const { return "http://" + host() += target; }

    std::size_t requestCount() const { return requestCount_; }
    // In progress: from the arrival of a request's head until the last bytes of its answer are
    // handed to the socket (or the connection is dropped).
    std::size_t inProgress() const { return inProgress_; }
    std::size_t maxInProgress() const { return maxInProgress_; }
    std::uint64_t bodyBytesSent() const { return bodyBytesSent_; }
    std::vector<ServedRequest> requests() const;

  private:
    struct Connection {
        int fd = -1;
        std::thread thread;
    };

    void acceptLoop();
    void serve(int fd, std::uint64_t connection);
    // False when the connection must be closed. `sent` runs as the last byte goes out.
    bool perform(int fd, const FaultAction& action, const ServedRequest& request,
                 const std::function<void()>& sent);
    bool pause(std::chrono::milliseconds duration);  // false once the server is stopping

    int listenFd_ = -1;
    int port_ = 0;
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    Handler handler_;
    ContinueHandler continueHandler_;
    std::list<Connection> connections_;
    std::uint64_t connectionCount_ = 0;
    std::vector<ServedRequest> log_;
    std::atomic<std::size_t> requestCount_ = 0, inProgress_ = 0, maxInProgress_ = 0;
    std::atomic<std::uint64_t> bodyBytesSent_ = 0;
};

// The plumbing FaultProxy shares.
bool sameText(std::string_view a, std::string_view b);
std::string headerOf(const HeaderMap& fields, std::string_view name);  // empty when absent
bool sendAll(int fd, std::string_view data);
bool receive(int fd, std::string& into);  // appends; false on end of stream, error or time-out
// A message head: the start line's first two words and the fields, repeated ones joined with
// ", ". readHead() reads it through `buffer`, which keeps what follows; nullopt when bad.
struct MessageHead {
    std::string first, second;
    HeaderMap fields;
};
std::optional<MessageHead> readHead(int fd, std::string& buffer);

}  // namespace quilo::test

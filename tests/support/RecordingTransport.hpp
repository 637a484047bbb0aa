#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quilo/requestlib/Error.hpp"
#include "quilo/requestlib/HTTPRequest.hpp"
#include "quilo/requestlib/RequestTransport.hpp"
#include "quilo/requestlib/Types.hpp"

namespace quilo::test {

// Stands in for the network in unit tests: records every request the queue admits, in order,
// and ends it as told. By default a request is held until the test ends it.
class RecordingTransport : public RequestTransport {
  public:
    void perform(const std::shared_ptr<HTTPRequest>& request) override;

    // How requests performed from now on end: held (the default), answered, or failed at once.
    void holdAll();
    void answerAll(int status, HeaderMap headers = {}, std::string body = {});
    void failAll(Error error);

    // End a held request. Callable from any thread; the ending runs on the library's thread.
    void finish(const std::shared_ptr<HTTPRequest>& request, int status = 200,
                HeaderMap headers = {}, std::string body = {});
    void fail(const std::shared_ptr<HTTPRequest>& request, Error error);
    // Fails every request still held; returns how many there were.
    std::size_t failOutstanding();

    // Waits until every task handed to the library's thread so far has run.
    void drain();
    // Waits until `count` requests have been performed in all.
    bool waitForPerformed(std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    std::vector<std::shared_ptr<HTTPRequest>> performed() const;
    std::size_t performedCount() const;
    // The `index`th request performed, as its own class (nullptr when it is of another).
    template <class R>
    std::shared_ptr<R> performedAs(std::size_t index) const {
        auto all = performed();
        return index < all.size() ? std::dynamic_pointer_cast<R>(all[index]) : nullptr;
    }
    std::size_t inFlight() const;
    // The most requests that were held at once.
    std::size_t maxInFlight() const;
    // Drops the record of performed requests, so that they can be released.
    void forget();

  private:
    struct Answer {
        enum class Kind { hold, finish, fail } kind = Kind::hold;
        int status = 200;
        HeaderMap headers;
        std::string body;
        Error error;
    };
    void pruneEndedLocked();

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Answer answer_;
    std::vector<std::shared_ptr<HTTPRequest>> performed_;
    std::vector<std::shared_ptr<HTTPRequest>> inFlight_;
    std::size_t maxInFlight_ = 0;
};

// Installs a RecordingTransport for its lifetime. On the way out it fails whatever is still held
// or waiting, so that no request of one test lingers in the shared queue of the next, and puts
// the network transport back.
class TransportGuard {
  public:
    TransportGuard();
    ~TransportGuard();
    TransportGuard(const TransportGuard&) = delete;
    TransportGuard& operator=(const TransportGuard&) = delete;

    RecordingTransport& operator*() const { return *transport_; }
    RecordingTransport* operator->() const { return transport_.get(); }

  private:
    std::shared_ptr<RecordingTransport> transport_ = std::make_shared<RecordingTransport>();
};

}  // namespace quilo::test

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "requestlib/Attempt.hpp"
#include "requestlib/Engine.hpp"

namespace quilo::detail {

// Settings of the retry policy, shared by every request of the process.
struct RetryPolicy {
    static void setMaxRetries(int retries);  // default 3
    static int maxRetries();
    // The first retry waits about this long; each further one twice as long, up to a cap.
    static void setBaseDelay(std::chrono::milliseconds delay);  // default 100 ms
    static std::chrono::milliseconds delayBeforeRetry(int retry);
};

// One logical exchange of a request, as RequestRun::exchange carries it out.
struct ExchangePlan {
    // Builds every attempt afresh (a retry or a redirect re-signs). An error ends the exchange
    // without sending.
    std::function<std::optional<Error>(AttemptSpec&)> prepare;
    // The final answer's headers go to the request's headers-received hook.
    bool reportsHeaders = true;
    // The request body counts towards the request's bytes-sent progress under this name.
    std::optional<int> uploadSlot;
    // The 2xx body is the request's payload: it counts as bytes received and goes to the
    // request's download destination (through a temporary file) when one is set.
    bool carriesPayload = false;
};

// A request while it runs on the network: its exchanges, their retries and redirects, its
// progress, its temporary download file, and its ending. Lives on the network thread.
class RequestRun : public std::enable_shared_from_this<RequestRun> {
  public:
    using Done = std::function<void(ExchangeResult)>;

    explicit RequestRun(std::shared_ptr<HTTPRequest> request);
    ~RequestRun();

    HTTPRequest& request() { return *request_; }
    bool ended() const { return ended_; }

    // Runs one exchange to its final answer: transient failures are retried with backoff,
    // redirects are followed. An answer of any status arrives as a result; `error` is set only
    // when there was no complete answer.
    void exchange(ExchangePlan plan, Done done);
    // The common case: one exchange whose answer becomes the request's outcome.
    void performSingle();
    // Records `result` as the request's answer and ends the request with its outcome.
    void finishWith(ExchangeResult result);
    // Records a failed exchange's answer as the request's and says what went wrong.
    Error recordFailure(ExchangeResult result);
    // Ends the request: stops its exchanges, settles the download file, calls the hooks.
    void finish(std::optional<Error> error);
    // Stops every exchange in flight without ending the request.
    void abortExchanges();
    // What cancel() does to a running request; by default finish with a cancelled error.
    void setCancelHandler(std::function<void()> handler) { cancelHandler_ = std::move(handler); }
    void cancel();

    // Upload progress of a request made of several bodies.
    void setUploadTotal(std::uint64_t total) {
        uploadTotal_ = total;
        uploadTotalKnown_ = true;
    }
    void uploadSlotProgress(int slot, std::uint64_t sent);
    void uploadSlotDone(int slot, std::uint64_t size);

  private:
    struct Exchange;
    void attempt(const std::shared_ptr<Exchange>& exchange);
    void attemptDone(const std::shared_ptr<Exchange>& exchange, ExchangeResult result);
    void reportUpload();
    void reportDownload(std::uint64_t received, std::uint64_t total);
    std::optional<Error> settleDownload(bool success);
    const std::string& temporaryPath();

    std::shared_ptr<HTTPRequest> request_;
    bool ended_ = false;
    std::set<Engine::ExchangeId> live_;
    std::function<void()> cancelHandler_;
    bool cancelling_ = false;  // the cancel handler has been called

    bool uploadTotalKnown_ = false;
    std::uint64_t uploadTotal_ = 0;
    std::uint64_t uploadDone_ = 0;
    std::map<int, std::uint64_t> uploadInFlight_;
    std::uint64_t reportedSent_ = 0;
    std::uint64_t reportedReceived_ = 0;
    std::uint64_t downloadTotal_ = 0;

    std::string temporaryPath_;
};

}  // namespace quilo::detail

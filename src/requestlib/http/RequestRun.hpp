#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "requestlib/http/Attempt.hpp"
#include "requestlib/http/Engine.hpp"

namespace quilo::detail {

class DownloadFile;
class PayloadSink;
class Protocol;
class SourceFile;

// Settings of the retry policy, shared by every request of the process.
struct RetryPolicy {
    static void setMaxRetries(int retries);  // default 3
    static int maxRetries();
    // The first retry waits about this long; each further one twice as long, up to a cap.
    static void setBaseDelay(std::chrono::milliseconds delay);  // default 100 ms
    static std::chrono::milliseconds delayBeforeRetry(int retry);
};

// One request and its answer as the server sees them, however many attempts it takes: failed
// attempts are retried, redirects followed, a broken download resumed.
struct Exchange {
    // Builds every attempt afresh (a retry or a redirect re-signs). An error ends the exchange
    // without sending.
    std::function<std::optional<Error>(Attempt&)> prepare{};
    // The final answer's head goes to the request's headers-received hook.
    bool reportsHeaders = true;
    // The request body counts towards the request's bytes-sent progress under this number.
    std::optional<int> uploadSlot{};
    // The 2xx body goes to this stream of the request's payload, and counts as received.
    PayloadSink* payload = nullptr;
    // The version (ETag) the payload must come from, once known: sent as If-Match with a range.
    std::string version{};
    // May be sent again after it reached the server (false: it may have had its effect).
    bool repeatable = true;
    // false: a redirect is the answer. For an exchange on another resource than the request's,
    // which the request's protocol would move as if it were the request's own.
    bool followsRedirects = true;
};

// A request while it runs on the network thread: its exchanges, its upload file and payload,
// its progress and its end.
class RequestRun : public std::enable_shared_from_this<RequestRun> {
  public:
    using Done = std::function<void(Answer)>;

    explicit RequestRun(std::shared_ptr<HTTPRequest> request);
    ~RequestRun();

    HTTPRequest& request() { return *request_; }
    const Protocol& protocol() const;
    bool ended() const { return ended_; }

    // The request's upload file, opened on first use and kept for the whole request.
    std::variant<std::shared_ptr<const SourceFile>, Error> source();
    // The request's whole body: its file, the bytes it borrows, its own post body, or the one
    // given to useBody(); none for a request without one.
    std::variant<BodySource, Error> body();
    // Sends `body` as the request's own, in place of what the request was given.
    void useBody(BodySource body) { body_ = std::move(body); }
    // The SHA-256 the request's own body is signed with, once a worker has computed it.
    void setBodySha256(std::string sha256) { bodySha256_ = std::move(sha256); }

    void exchange(Exchange exchange, Done done);
    // The common case: one exchange whose answer becomes the request's outcome.
    void performSingle();
    // An attempt of the request's own exchange: its body, then the protocol's preparation.
    std::optional<Error> prepareOwn(Attempt& attempt);
    // Another stream of the payload: `length` bytes of the download file from `offset`.
    PayloadSink& addRange(std::uint64_t offset, std::uint64_t length);
    DownloadFile& downloadFile() { return *file_; }
    std::uint64_t downloadTotal() const { return downloadTotal_; }
    // Records `answer` as the request's and ends the request with its outcome: the protocol's
    // judgement of it, or `judge`'s when given.
    void finishWith(Answer answer, const std::function<std::optional<Error>()>& judge = {});
    // Records a failed exchange's answer as the request's and says what went wrong.
    Error recordFailure(Answer answer);
    // Ends the request: stops its exchanges, settles its files, calls the hooks.
    void finish(std::optional<Error> error);
    // Stops every exchange, in flight or waiting to retry, without ending the request.
    void abortExchanges();
    // What cancel() does to a running request; by default finish with a cancelled error.
    void setCancelHandler(std::function<void()> handler) { cancelHandler_ = std::move(handler); }
    void cancel();
    // Runs an internal step; one that throws ends the request through its failed hook.
    void guarded(const std::function<void()>& step);

    // Upload progress of a request made of several bodies.
    void setUploadTotal(std::uint64_t total) {
        uploadTotal_ = total;
        uploadTotalKnown_ = true;
    }
    void uploadSlotDone(int slot, std::uint64_t size);

  private:
    struct Flight;
    std::optional<Error> preparePayload();
    std::optional<Error> prepareBody(Attempt& attempt);
    void attempt(const std::shared_ptr<Flight>& flight);
    AttemptHandlers handlersFor(const std::shared_ptr<Flight>& flight);
    std::optional<Error> headArrived(Flight& flight, int status, const HeaderMap& headers);
    std::optional<Error> firstAnswer(Flight& flight, int status, const HeaderMap& headers);
    void expectWhole(int status, const HeaderMap& headers);
    std::optional<Error> expectRange(int status, const HeaderMap& headers);
    void attemptDone(const std::shared_ptr<Flight>& flight, Answer answer);
    bool tryAgain(const std::shared_ptr<Flight>& flight, const Answer& answer);
    bool resumes(Flight& flight, const Answer& answer) const;
    bool follow(const std::shared_ptr<Flight>& flight, Answer& answer);
    void conclude(const std::shared_ptr<Flight>& flight, Answer answer);
    void uploadSlotProgress(int slot, std::uint64_t sent);
    void reportUpload();
    std::uint64_t received() const;
    void reportDownload();
    void judgeOnceDigested();
    std::optional<Error> settle(std::optional<Error> error);

    std::shared_ptr<HTTPRequest> request_;
    bool ended_ = false;
    // Held by their attempts and retry timers alone, so that nothing keeps a run alive in a
    // cycle: a process leaving with requests under way still removes their download files.
    std::map<Flight*, std::weak_ptr<Flight>> flights_;
    std::function<void()> cancelHandler_;
    bool cancelling_ = false;  // the cancel handler has been called

    std::shared_ptr<const SourceFile> source_;
    std::optional<BodySource> body_;
    std::string bodySha256_;
    std::unique_ptr<DownloadFile> file_;
    // The payload's streams: the whole answer's first, then any ranges.
    std::vector<std::unique_ptr<PayloadSink>> payload_;

    bool uploadTotalKnown_ = false;
    std::uint64_t uploadTotal_ = 0;
    std::uint64_t uploadDone_ = 0;
    std::map<int, std::uint64_t> uploadInFlight_;
    std::uint64_t reportedSent_ = 0;
    std::uint64_t reportedReceived_ = 0;
    std::uint64_t downloadTotal_ = 0;  // of the payload
    std::uint64_t resourceTotal_ = 0;  // of the resource, which a range is part of
};

}  // namespace quilo::detail

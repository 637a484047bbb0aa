#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/base/Types.hpp"

namespace quilo {

class HTTPRequestQueue;
class RequestTransport;
class S3Request;
namespace detail {
class Protocol;
class RequestRun;
}  // namespace detail

// One asynchronous HTTP request.
//
// Threads: configure a request on any one thread, then call startAsynchronous(), which returns at
// once. From then on the request belongs to the library: it runs on the library's single network
// thread, and every hook below is called on that thread, one at a time. A hook must not block for
// long (it holds up every other request) and must never wait for another request to end; it may
// start new requests and read this request's results freely.
//
// Lifecycle: exactly one of the completion or failed hooks is called per started request. Then the
// request drops all its hooks, which releases whatever they hold (the request itself included).
// Configure a request before starting it; setters called after startAsynchronous() are ignored.
class QUILO_EXPORT HTTPRequest : public std::enable_shared_from_this<HTTPRequest> {
  public:
    // A hook without arguments.
    using Block = std::function<void()>;
    // The final response's headers. The library always hands a map; the type allows none.
    using HeadersBlock = std::function<void(const std::optional<HeaderMap>& headers)>;
    // Cumulative bytes moved so far for the whole request and the total expected, 0 while the
    // total is unknown. Reports never go backwards; a successful transfer ends with (total, total).
    using ProgressBlock = std::function<void(std::uint64_t bytesSoFar, std::uint64_t totalBytes)>;

    // Not started, waiting for the queue, running, or ended one way or the other.
    enum class State { ready, waiting, running, finished, failed };

    // A GET of `url`, to be configured and started.
    HTTPRequest();
    explicit HTTPRequest(std::optional<std::string> url);

    virtual ~HTTPRequest();
    HTTPRequest(const HTTPRequest&) = delete;
    HTTPRequest& operator=(const HTTPRequest&) = delete;

    // The process-wide queue that admits started requests.
    static HTTPRequestQueue& sharedQueue();
    // PEM bundle of the certificate authorities that TLS peers must chain to; none means the
    // system's store. Peers are always verified, host name included.
    static void setDefaultCAFile(std::optional<std::string> path);
    static std::optional<std::string> defaultCAFile();

    // Hooks, each called when set, on the library's network thread.
    void setStartedBlock(Block block);
    void setCompletionBlock(Block block);
    void setFailedBlock(Block block);
    void setHeadersReceivedBlock(HeadersBlock block);
    void setRequestRedirectedBlock(Block block);
    void setBytesSentBlock(ProgressBlock block);
    void setBytesReceivedBlock(ProgressBlock block);
    const Block& startedBlock() const { return hooks_.started; }
    const Block& completionBlock() const { return hooks_.completion; }
    const Block& failedBlock() const { return hooks_.failed; }
    const HeadersBlock& headersReceivedBlock() const { return hooks_.headersReceived; }
    const Block& requestRedirectedBlock() const { return hooks_.redirected; }
    const ProgressBlock& bytesSentBlock() const { return hooks_.bytesSent; }
    const ProgressBlock& bytesReceivedBlock() const { return hooks_.bytesReceived; }

    // What to send.
    void setURL(std::optional<std::string> url);
    const std::optional<std::string>& url() const { return url_; }
    void setRequestMethod(std::string method);
    const std::string& requestMethod() const { return method_; }
    // A header that contains CR, LF or NUL, or whose name is not an HTTP token, is refused: the
    // request then fails with a misuse error when started, and nothing is sent.
    void addRequestHeader(std::string name, std::string value);
    // As addRequestHeader, in place of every header of that name (in any case) given before.
    void setRequestHeader(std::string name, std::string value);
    const std::vector<std::pair<std::string, std::string>>& requestHeaders() const {
        return headers_;
    }
    // A body held in memory; setUploadFilePath streams one from a file instead.
    void setPostBody(std::string body);
    const std::string& postBody() const { return postBody_; }
    // A body the request borrows rather than copies: the bytes must stay in place, unchanged,
    // until the request has ended. It takes the place of postBody().
    void setUploadData(std::span<const std::byte> bytes);
    std::span<const std::byte> uploadData() const { return uploadData_; }
    // Streams the body from this file, opened once when the request starts and read by every
    // attempt through that descriptor. A file that is written, resized or replaced before the
    // request ends fails it (FileChanged).
    void setUploadFilePath(std::optional<std::string> path);
    const std::optional<std::string>& uploadFilePath() const { return uploadFilePath_; }

    // The request fails with a time-out error when connecting takes this long, or when less than
    // 1 KiB a second moves over this long: a server that trickles cannot hold a request forever.
    void setTimeOutSeconds(double seconds);
    double timeOutSeconds() const { return timeOutSeconds_; }
    // true: a progress report for every chunk that moves. false: at most about ten a second.
    void setShowAccurateProgress(bool accurate);
    bool showAccurateProgress() const { return showAccurateProgress_; }
    // Asks for one range of the resource, "bytes=<first>-<last>", "bytes=<first>-" or
    // "bytes=-<suffix length>", rather than all of it: its bytes alone are the body, and the
    // progress total is their count. A range the request cannot send as it is (several, or a
    // last before the first) is a misuse. A range that breaks is resumed where it stopped, from
    // the version (ETag) its first answer named; a server that answers with the whole resource
    // fails the request.
    void setRange(std::optional<std::string> range);
    const std::optional<std::string>& range() const { return range_; }
    // Streams a successful body into a new file of its own beside this path, created under a
    // name no one can guess, and renames it over the path only once the body is complete (and,
    // where possible, verified). A connection that breaks mid-body is resumed where it stopped
    // when the answer named the object's version (ETag). On failure the file is removed and the
    // path is left as it was. A path that names something other than a regular file (a FIFO, a
    // device, a terminal) gets the bytes straight away, in order: a failed check then fails the
    // request after the bytes went out. With no path the body is kept in responseData().
    void setDownloadDestinationPath(std::optional<std::string> path);
    const std::optional<std::string>& downloadDestinationPath() const { return destinationPath_; }
    // A file where a large transfer notes what another process needs to carry it on should this
    // one be killed (none by default); it is written readable by its owner alone, and goes once
    // the transfer has succeeded or failed. Given the journal of one that was cut short, a
    // transfer carries it on where what was done still holds:
    // - an upload in parts of the same file (device, inode, size and modification time
    //   unchanged) to the same object keeps the parts the service lists whose ETag is the MD5 of
    //   the same stretch of the file, and sends the others; given a journal of another file, it
    //   aborts the upload named there and starts afresh;
    // - a download in ranges into the same destination, of the same version (ETag) and size,
    //   goes on in the temporary file the journal names, keeping the ranges whose MD5 is still
    //   the one noted when each was written. Such a file is named ".<name>.<random>.partial",
    //   and stays until the next download into the destination with the journal carries it on
    //   or, should the version have changed, removes it.
    void setResumeJournal(std::optional<std::string> path);
    const std::optional<std::string>& resumeJournal() const { return resumeJournal_; }
    // Whether a symbolic link at the end of the upload file's path or the download destination
    // is followed (the default): the download then replaces the file the link names and keeps
    // the link. Otherwise an upload from a link fails, and a download replaces the link itself.
    void setFollowsSymlinks(bool follow);
    bool followsSymlinks() const { return followsSymlinks_; }

    // Starts the request and returns at once (see Lifecycle above).
    void startAsynchronous();
    // Ends the request with a `cancelled` error: a running or waiting one at once, one not yet
    // started as soon as it starts. No effect once it has ended.
    void cancel();
    // Makes the request fail with `error` when it is started, without sending anything.
    // The first such error wins.
    void failBeforeSending(Error error);
    // Where the request is in its life; isFinished() once it has succeeded.
    State state() const;
    bool isFinished() const { return state() == State::finished; }

    // Results: valid in the completion and failed hooks and after them.
    int responseStatusCode() const { return responseStatus_; }
    const HeaderMap& responseHeaders() const { return responseHeaders_; }
    const std::string& responseData() const { return responseData_; }
    // Absent on success.
    const std::optional<Error>& error() const { return error_; }

  private:
    friend class HTTPRequestQueue;
    friend class RequestTransport;
    friend class S3Request;
    friend class detail::RequestRun;

    struct Hooks {
        Block started, completion, failed, redirected;
        HeadersBlock headersReceived;
        ProgressBlock bytesSent, bytesReceived;
    };
    bool configurable() const;
    // On the network thread: admitted by the queue / ended for good (exactly once).
    void begin(const std::shared_ptr<RequestTransport>& transport);
    void end(std::optional<Error> error);
    void recordAnswer(int status, HeaderMap headers, std::string body);
    // The outcome of the recorded answer, as the protocol judges it.
    std::optional<Error> judgeAnswer(std::string_view payloadMd5);

    Hooks hooks_;
    std::optional<std::string> url_;
    std::string method_ = "GET";
    std::vector<std::pair<std::string, std::string>> headers_;
    std::string postBody_;
    std::span<const std::byte> uploadData_;
    std::optional<std::string> uploadFilePath_;
    double timeOutSeconds_ = 60.0;
    bool showAccurateProgress_ = false;
    std::optional<std::string> destinationPath_;
    std::optional<std::string> range_;
    bool followsSymlinks_ = true;
    std::optional<std::string> resumeJournal_;
    const detail::Protocol* protocol_;

    // One lock for the state and what start and cancel decide together.
    mutable std::mutex stateMutex_;
    State state_ = State::ready;
    std::optional<Error> pendingError_;        // fails the request when it starts
    bool cancelled_ = false;                   // cancel() has been called
    bool admitted_ = false;                    // holds a slot of the queue
    std::shared_ptr<detail::RequestRun> run_;  // while running on the network

    int responseStatus_ = 0;
    HeaderMap responseHeaders_;
    std::string responseData_;
    std::optional<Error> error_;
};

}  // namespace quilo

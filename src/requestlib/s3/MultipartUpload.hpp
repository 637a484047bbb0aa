#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/http/Attempt.hpp"
#include "requestlib/s3/PartStream.hpp"

namespace quilo {
class S3ObjectRequest;
}

namespace quilo::detail {

class RequestRun;

inline constexpr std::uint64_t kMiB = 1u << 20;
// Services refuse parts smaller than this, except the last one.
inline constexpr std::uint64_t kMinPartSize = 5 * kMiB;

// What a copy in parts copies, and what the new object takes.
struct CopyPlan {
    std::string source;  // as x-amz-copy-source names it
    std::uint64_t size = 0;
    std::string etag;            // the version every part must come from, as the service wrote it
    HeaderList objectHeaders{};  // the new object's: type, metadata, access, encryption
    HeaderList partHeaders{};    // what each part copy needs besides its range
    std::string tagging{};       // a Tagging document to put once complete, if any
};

// An upload too large for one PUT, carried out as one request: initiate, send the parts (a few
// at a time, each hashed ahead on a worker and retried on its own), complete. On failure or
// cancellation the upload is aborted before the request ends, so that no orphaned parts are left
// on the service. A copy in parts goes the same way, each part copied from a range of its source;
// a stream's parts come as they are read, already hashed, and each goes once it is sent.
// An upload of a file given a journal notes its id there once initiated, and first tries to carry
// on the upload a journal names: the parts the service lists whose ETag is the MD5 of the same
// stretch of the file are kept, the others sent again. Memory and streams have no journal: a
// later run could not tell that its bytes are the same.
class MultipartUpload : public std::enable_shared_from_this<MultipartUpload> {
  public:
    // A file or bytes in memory, as RequestRun::body() gives them.
    static void start(std::shared_ptr<RequestRun> run, BodySource whole);
    static void startCopy(std::shared_ptr<RequestRun> run, CopyPlan plan);
    // `first` are the parts read before the stream was found too long for one PUT.
    static void startStream(std::shared_ptr<RequestRun> run, std::shared_ptr<PartStream> stream,
                            std::vector<PartStream::Part> first);

  private:
    struct Part {
        std::uint64_t offset = 0, length = 0;
        std::string sha256{};  // hex, once hashed
        std::string etag{};    // as the service returned it
        bool encrypted = false;
        BodySource body{};  // a stream's, held until sent
    };

    MultipartUpload(std::shared_ptr<RequestRun> run, BodySource whole,
                    std::optional<CopyPlan> copy);
    void addPart(BodySource body, std::string sha256);
    void streamed(PartStream::Part part);
    S3ObjectRequest& request();
    std::string uploadTagging();
    void resume();
    void listParts(std::string uploadId, std::int32_t marker);
    void keepParts(std::string uploadId);
    void partChecked(std::size_t index, const std::string& etag, const std::string& md5);
    void startSending();
    void finishParts();
    void dropStale(const std::string& uploadId);
    void forgetJournal();
    std::string optionsDigest();
    void initiate();
    void initiated(Answer answer);
    void hashAhead();
    void sendParts();
    void sendPart(std::size_t index);
    void describePart(const Part& part, Attempt& attempt) const;
    void partDone(std::size_t index, Answer answer);
    std::optional<Error> readPartETag(Part& part, Answer& answer);
    void complete();
    void completed(Answer answer);
    void tag(Answer completion);
    std::optional<Error> readCompletion();
    void confirmByHead(Error missing);
    std::string expectedETag() const;
    void fail(Error error);
    void abort(Error error);

    std::shared_ptr<RequestRun> run_;
    BodySource whole_;                    // an upload's, from a file or memory
    const std::optional<CopyPlan> copy_;  // a copy's
    std::shared_ptr<PartStream> stream_;  // a stream's
    bool streaming_ = false;              // more of the stream's parts are to come
    std::string tagging_;                 // a Tagging document to put once complete, if any
    const bool verify_;
    const std::size_t concurrency_;
    std::vector<Part> parts_;
    std::uint64_t partSize_ = 0;
    std::vector<std::size_t> queue_;  // the parts to send, in order
    std::size_t nextHash_ = 0, nextSend_ = 0, inFlight_ = 0, done_ = 0, checking_ = 0;
    std::string journal_;      // its path; empty without one
    std::string journaledId_;  // the upload this run noted there or took from there
    std::map<int, std::pair<std::uint64_t, std::string>> listed_;  // number: size, ETag
    std::string uploadId_;
    bool failing_ = false;
    bool initiating_ = false;
    std::optional<Error> deferred_;  // a failure that came while the upload was being initiated
};

}  // namespace quilo::detail

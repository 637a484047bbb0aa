#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quilo/requestlib/Error.hpp"
#include "requestlib/Attempt.hpp"

namespace quilo {
class S3ObjectRequest;
}

namespace quilo::detail {

class RequestRun;

// An upload too large for one PUT, carried out as one request: initiate, send the parts (a few
// at a time, each retried on its own), complete. On failure or cancellation the upload is
// aborted before the request ends, so that no orphaned parts are left on the service.
class MultipartUpload : public std::enable_shared_from_this<MultipartUpload> {
  public:
    static void start(std::shared_ptr<RequestRun> run, std::uint64_t fileSize);

  private:
    MultipartUpload(std::shared_ptr<RequestRun> run, std::uint64_t fileSize);

    S3ObjectRequest& request();
    std::optional<Error> prepare(AttemptSpec& attempt, std::string method,
                                 std::vector<std::pair<std::string, std::string>> query);
    void initiate();
    void sendParts();
    void sendPart(int number);
    void complete();
    std::string multipartETag() const;
    void fail(Error error);

    std::shared_ptr<RequestRun> run_;
    std::string file_;
    std::uint64_t fileSize_;
    std::uint64_t partSize_;
    int partCount_;
    int nextPart_ = 1;
    int partsInFlight_ = 0;
    int partsDone_ = 0;
    std::vector<std::string> etags_;
    std::vector<std::string> partMd5s_;  // hex MD5 of the bytes sent for each part
    std::string uploadId_;
    bool failing_ = false;
    bool initiating_ = false;
    std::optional<Error> deferred_;  // a failure that came while the upload was being initiated
};

}  // namespace quilo::detail

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quilo/Client.hpp"
#include "quilo/requestlib/http/HTTPRequestQueue.hpp"
#include "quilo/requestlib/s3/S3ObjectRequest.hpp"

namespace quilo::test {

// Puts back, on the way out, what tests change for the whole process: the shared client's two
// maps, the shared queue's limit, the transfers' thresholds, the default host and CA file.
class SharedStateGuard {
  public:
    SharedStateGuard()
        : config_(Quilo::sharedInstance()->config()),
          globleConfig_(Quilo::sharedInstance()->globleConfig()),
          limit_(HTTPRequest::sharedQueue().maxConcurrentOperationCount()),
          multipartThreshold_(S3ObjectRequest::multipartThreshold()),
          copyPartThreshold_(S3ObjectRequest::copyPartThreshold()),
          partSize_(S3ObjectRequest::multipartPartSize()),
          parts_(S3ObjectRequest::multipartConcurrency()),
          rangeThreshold_(S3ObjectRequest::rangeThreshold()),
          rangeSize_(S3ObjectRequest::rangeSize()),
          rangeConcurrency_(S3ObjectRequest::rangeConcurrency()),
          host_(S3Request::defaultHost()),
          caFile_(HTTPRequest::defaultCAFile()) {}
    ~SharedStateGuard() {
        Quilo::sharedInstance()->config() = config_;
        Quilo::sharedInstance()->globleConfig() = globleConfig_;
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(limit_);
        S3ObjectRequest::setMultipartThreshold(multipartThreshold_);
        S3ObjectRequest::setCopyPartThreshold(copyPartThreshold_);
        S3ObjectRequest::setMultipartPartSize(partSize_);
        S3ObjectRequest::setMultipartConcurrency(parts_);
        S3ObjectRequest::setRangeThreshold(rangeThreshold_);
        S3ObjectRequest::setRangeSize(rangeSize_);
        S3ObjectRequest::setRangeConcurrency(rangeConcurrency_);
        S3Request::setDefaultHost(host_);
        HTTPRequest::setDefaultCAFile(caFile_);
    }
    SharedStateGuard(const SharedStateGuard&) = delete;
    SharedStateGuard& operator=(const SharedStateGuard&) = delete;

  private:
    std::optional<ValueMap> config_;
    std::optional<ValueMap> globleConfig_;
    int limit_;
    std::uint64_t multipartThreshold_, copyPartThreshold_, partSize_;
    int parts_;
    std::uint64_t rangeThreshold_, rangeSize_;
    int rangeConcurrency_;
    std::string host_;
    std::optional<std::string> caFile_;
};

}  // namespace quilo::test

#pragma once

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/s3/S3BucketRequest.hpp"
#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "quilo/requestlib/s3/S3ServiceRequest.hpp"

namespace quilo {

// The requests the facade's callables receive: one class per kind, so that a callable is typed
// on what it gets. They add nothing to the request library's classes.
class QUILO_EXPORT QuiloServiceRequest : public S3ServiceRequest {
  public:
    using S3ServiceRequest::S3ServiceRequest;
};

class QUILO_EXPORT QuiloBucketRequest : public S3BucketRequest {
  public:
    using S3BucketRequest::S3BucketRequest;
};

class QUILO_EXPORT QuiloObjectRquest : public S3ObjectRequest {
  public:
    using S3ObjectRequest::S3ObjectRequest;
};

}  // namespace quilo

#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {

void Quilo::listBuckets(Callbacks<QuiloServiceRequest> callbacks) {
    detail::runOperation<QuiloServiceRequest>(
        *this, callbacks, {.name = "listBuckets", .make = [] {
                               return QuiloServiceRequest::serviceRequest<QuiloServiceRequest>();
                           }});
}

}  // namespace quilo

#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {

void Quilo::listObjects(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks) {
    detail::ParamReader in("listObjects", param);
    std::int32_t maxKeys = 0;
    std::string prefix, delimiter, marker;
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "listObjects",
         .make = [&]() -> std::shared_ptr<QuiloBucketRequest> {
             auto bucket = in.take<std::string>("bucket");
             maxKeys = in.take<std::int32_t>("maxKeys");
             prefix = in.take<std::string>("prefix");
             delimiter = in.take<std::string>("delimiter");
             marker = in.take<std::string>("marker");
             if (!in.ok()) {
                 return nullptr;
             }
             return QuiloBucketRequest::requestWithBucket<QuiloBucketRequest>(std::move(bucket));
         },
         .params = &in,
         // Set before the configuration, which never touches them.
         .beforeConfiguration =
             [&](QuiloBucketRequest& request) {
                 request.setMaxResultCount(maxKeys);
                 request.setPrefix(std::move(prefix));
                 request.setDelimiter(std::move(delimiter));
                 request.setMarker(std::move(marker));
             }});
}

}  // namespace quilo

#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {
namespace {

using Operation = S3BucketRequest::Operation;

// The keys in which the listings after ListObjects differ.
struct ListingKeys {
    const char* marker;
    const char* idMarker = nullptr;  // the version or upload id within the marker's key
    const char* count = "maxKeys";
};

struct ListingOptions {
    std::optional<std::string> prefix, delimiter, marker, idMarker, token, listedUpTo;
    std::optional<std::int32_t> count;
    std::optional<bool> fetchOwner;

    void read(detail::ParamReader& in, const ListingKeys& keys, Operation operation) {
        prefix = in.takeOptional<std::string>("prefix");
        delimiter = in.takeOptional<std::string>("delimiter");
        marker = in.takeOptional<std::string>(keys.marker);
        if (keys.idMarker)
            idMarker = in.takeOptional<std::string>(keys.idMarker);
        count = in.takeOptional<std::int32_t>(keys.count);
        if (operation == Operation::listV2) {
            token = in.takeOptional<std::string>("continuationToken");
            fetchOwner = in.takeOptional<bool>("fetchOwner");
            listedUpTo = in.takeOptional<std::string>("listedUpTo");
        }
    }

    void apply(QuiloBucketRequest& request, Operation operation) {
        if (prefix)
            request.setPrefix(std::move(*prefix));
        if (delimiter)
            request.setDelimiter(std::move(*delimiter));
        if (marker)
            request.setMarker(std::move(*marker));
        if (count)
            request.setMaxResultCount(*count);
        if (token)
            request.setContinuationToken(std::move(*token));
        if (fetchOwner)
            request.setFetchOwner(*fetchOwner);
        if (listedUpTo)
            request.setListedUpTo(std::move(*listedUpTo));
        if (idMarker && operation == Operation::listVersions)
            request.setVersionIdMarker(std::move(*idMarker));
        else if (idMarker)
            request.setUploadIdMarker(std::move(*idMarker));
    }
};

void runListing(Quilo& client, std::string_view name, Operation operation, const ListingKeys& keys,
                const ValueMap& param, const Callbacks<QuiloBucketRequest>& callbacks) {
    detail::ParamReader in(name, param);
    ListingOptions options;
    detail::runOperation<QuiloBucketRequest>(
        client, callbacks,
        {.name = name,
         .make = [&]() -> std::shared_ptr<QuiloBucketRequest> {
             auto bucket = in.take<std::string>("bucket");
             options.read(in, keys, operation);
             if (!in.ok())
                 return nullptr;
             return QuiloBucketRequest::requestWithBucket<QuiloBucketRequest>(std::move(bucket),
                                                                              operation);
         },
         .params = &in,
         .beforeConfiguration =
             [&](QuiloBucketRequest& request) { options.apply(request, operation); }});
}

}  // namespace

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

void Quilo::listObjectsV2(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks) {
    runListing(*this, "listObjectsV2", Operation::listV2, {.marker = "startAfter"}, param,
               callbacks);
}

void Quilo::listObjectVersions(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks) {
    runListing(*this, "listObjectVersions", Operation::listVersions,
               {.marker = "keyMarker", .idMarker = "versionIdMarker"}, param, callbacks);
}

void Quilo::listMultipartUploads(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks) {
    runListing(*this, "listMultipartUploads", Operation::listUploads,
               {.marker = "keyMarker", .idMarker = "uploadIdMarker", .count = "maxUploads"}, param,
               callbacks);
}

}  // namespace quilo

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Engine.hpp"
#include "requestlib/http/RangedDownload.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "requestlib/s3/MetadataReplacement.hpp"
#include "requestlib/s3/MultipartUpload.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/S3Kind.hpp"
#include "requestlib/s3/S3Protocol.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo {
namespace {

std::atomic<std::uint64_t> gMultipartThreshold{64 * detail::kMiB};
std::atomic<std::uint64_t> gPartSize{16 * detail::kMiB};
std::atomic<int> gPartConcurrency{8};
std::atomic<bool> gVerifyChecksums{true};
std::atomic<std::uint64_t> gRangeThreshold{64 * detail::kMiB};
std::atomic<std::uint64_t> gRangeSize{16 * detail::kMiB};
std::atomic<int> gRangeConcurrency{8};

}  // namespace

namespace detail {

struct ObjectKinds {
    static S3ObjectRequest& object(S3Request& request) {
        return static_cast<S3ObjectRequest&>(request);
    }

    static std::optional<Error> readETag(S3Request& request, std::string_view) {
        const auto header = request.responseHeaders().find("ETag");
        if (header != request.responseHeaders().end())
            object(request).etag_ = unquoteETag(header->second);
        return std::nullopt;
    }

    // An MD5 is taken only of a whole object, resumed or not, and an encrypted object's ETag is
    // no MD5.
    static std::optional<Error> readObject(S3Request& request, std::string_view md5) {
        readETag(request, md5);
        const std::string& etag = object(request).etag_;
        if (isEncrypted(request.responseHeaders()) || !contradictsMd5(etag, md5))
            return std::nullopt;
        return makeError(
            ErrorKind::integrity, Code::ChecksumMismatch,
            std::string("the bytes have MD5 ").append(md5).append(" but the service's ETag is ") +
                etag,
            request.responseStatusCode());
    }

    // A copy can fail after its 200 has gone out; the body then holds an <Error>.
    static std::optional<Error> readCopy(S3Request& request, std::string_view) {
        if (parseErrorDocument(request.responseData()).value)
            return S3Protocol::instance().describe(request);
        auto copied = parseCopyObjectResult(request.responseData());
        if (!copied.value)
            return malformedError("the copy result", copied.problem, request.responseStatusCode());
        object(request).etag_ = unquoteETag(copied.value->etag);
        return std::nullopt;
    }

    static std::optional<Error> readAcl(S3Request& request, std::string_view) {
        return readPolicy(request, static_cast<S3ObjectRequest&>(request).acl_);
    }

    static void withPolicy(const S3Request& request, Attempt& attempt) {
        if (const auto& policy = static_cast<const S3ObjectRequest&>(request).accessPolicy_)
            attempt.headers.emplace_back("x-amz-acl", *policy);
    }

    static void withKeptGrants(const S3Request& request, Attempt& attempt) {
        const auto& grants = static_cast<const S3ObjectRequest&>(request).keptGrants_;
        attempt.headers.insert(attempt.headers.end(), grants.begin(), grants.end());
    }

    static void upload(RequestRun& run);

    // In the order of S3ObjectRequest::Operation.
    static constexpr std::array<S3Kind, 8> kinds{{
        {.read = &readObject, .fetchesObject = true},  // get
        {.method = "PUT",
         .prepare = &withPolicy,
         .read = &readETag,
         .perform = &upload},                                           // putFile
        {.method = "PUT", .read = &readCopy},                           // copy
        {.method = "DELETE"},                                           // remove
        {.subresource = "acl", .read = &readAcl},                       // getAcl
        {.method = "PUT", .subresource = "acl"},                        // setAcl
        {.method = "HEAD", .read = &readETag, .missing = "NoSuchKey"},  // head
        {.method = "PUT",
         .prepare = &withKeptGrants,
         .read = &readCopy,
         .perform = &MetadataReplacement::perform},  // setMeta
    }};
};

// A file up to the threshold goes in one PUT, signed with its digest, which a worker computes
// first; a larger one in parts.
void ObjectKinds::upload(RequestRun& run) {
    auto opened = run.source();
    if (auto* error = std::get_if<Error>(&opened))
        return run.finish(std::move(*error));
    auto source = std::get<std::shared_ptr<const SourceFile>>(opened);
    if (source->size() > S3ObjectRequest::multipartThreshold())
        return MultipartUpload::start(run.shared_from_this(), source);
    if (!S3ObjectRequest::verifiesChecksums())
        return run.performSingle();
    Engine::instance().hash(
        BodySource::slice(source, 0, source->size()),
        [run = run.shared_from_this(), source](std::string sha256) {
            if (run->ended())
                return;
            if (sha256.empty())
                return run->finish(makeError(ErrorKind::localFile, Code::CannotReadFile,
                                             "cannot read " + source->path()));
            run->setBodySha256(std::move(sha256));
            run->guarded([&] { run->performSingle(); });
        });
}

}  // namespace detail

void S3ObjectRequest::setMultipartThreshold(std::uint64_t bytes) {
    gMultipartThreshold = bytes;
}
std::uint64_t S3ObjectRequest::multipartThreshold() {
    return gMultipartThreshold;
}
void S3ObjectRequest::setMultipartPartSize(std::uint64_t bytes) {
    gPartSize = std::max(bytes, detail::kMinPartSize);
}
std::uint64_t S3ObjectRequest::multipartPartSize() {
    return gPartSize;
}
void S3ObjectRequest::setMultipartConcurrency(int parts) {
    gPartConcurrency = std::max(1, parts);
}
int S3ObjectRequest::multipartConcurrency() {
    return gPartConcurrency;
}
void S3ObjectRequest::setRangeThreshold(std::uint64_t bytes) {
    gRangeThreshold = bytes;
}
std::uint64_t S3ObjectRequest::rangeThreshold() {
    return gRangeThreshold;
}
void S3ObjectRequest::setRangeSize(std::uint64_t bytes) {
    gRangeSize = std::max(bytes, detail::kMinRangeSize);
}
std::uint64_t S3ObjectRequest::rangeSize() {
    return gRangeSize;
}
void S3ObjectRequest::setRangeConcurrency(int ranges) {
    gRangeConcurrency = std::max(1, ranges);
}
int S3ObjectRequest::rangeConcurrency() {
    return gRangeConcurrency;
}
void S3ObjectRequest::setVerifiesChecksums(bool verify) {
    gVerifyChecksums = verify;
}
bool S3ObjectRequest::verifiesChecksums() {
    return gVerifyChecksums;
}

void S3ObjectRequest::setUp(Operation operation, OptionalString bucket, OptionalString key) {
    using detail::Code;
    operation_ = operation;
    if (!bucket || bucket->empty())
        failBeforeSending(detail::misuse(Code::MissingBucket, "a bucket name is required"));
    else if (!key || key->empty())
        failBeforeSending(detail::misuse(Code::MissingKey, "an object key is required"));
    setBucket(bucket);
    setKey(key);
    setKind(detail::ObjectKinds::kinds[static_cast<std::size_t>(operation)]);
    if (operation == Operation::setMeta) {
        // Metadata can only be replaced by copying the object onto itself.
        if (bucket && key)
            addRequestHeader("x-amz-copy-source", detail::copySource(*bucket, *key));
        addRequestHeader("x-amz-metadata-directive", "REPLACE");
    }
}

void S3ObjectRequest::setCopySource(OptionalString bucket, OptionalString key) {
    using detail::Code;
    if (!bucket || bucket->empty())
        return failBeforeSending(
            detail::misuse(Code::MissingBucket, "the source bucket name is required"));
    if (!key || key->empty())
        return failBeforeSending(
            detail::misuse(Code::MissingKey, "the source object key is required"));
    addRequestHeader("x-amz-copy-source", detail::copySource(*bucket, *key));
}

void S3ObjectRequest::setSourceFile(OptionalString path) {
    if (!path || path->empty())
        return failBeforeSending(detail::makeError(ErrorKind::localFile,
                                                   detail::Code::MissingFilePath,
                                                   "an upload needs the path of a local file"));
    setUploadFilePath(std::move(path));
}

void S3ObjectRequest::setMetadataHeaders(const StringMap& meta) {
    detail::HeaderList headers;
    if (auto error = detail::metadataHeaders(meta, headers))
        return failBeforeSending(std::move(*error));
    for (auto& [name, value] : headers)
        addRequestHeader(std::move(name), std::move(value));
}

void S3ObjectRequest::setAccessPolicy(std::optional<std::string> policy) {
    if (state() != State::ready)
        return;
    if (policy && !detail::isSafeHeaderValue(*policy))
        return failBeforeSending(detail::misuse(detail::Code::InvalidAccessPolicy,
                                                "the access policy holds a line break"));
    accessPolicy_ = std::move(policy);
}

}  // namespace quilo

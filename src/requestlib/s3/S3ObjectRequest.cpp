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
#include "requestlib/s3/PartCopy.hpp"
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
std::atomic<std::uint64_t> gCopyPartThreshold{5ull << 30};

// "2030-01-01T00:00:00Z", perhaps with a fraction of a second before the Z.
bool isIsoTime(std::string_view text) {
    constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:dd";
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.size() <= kForm.size() || text.back() != 'Z')
        return false;
    for (std::size_t i = 0; i < kForm.size(); ++i)
        if (kForm[i] == 'd' ? !digit(text[i]) : text[i] != kForm[i])
            return false;
    const auto fraction = text.substr(kForm.size(), text.size() - kForm.size() - 1);
    return fraction.empty() || (fraction.size() > 1 && fraction.front() == '.' &&
                                std::all_of(fraction.begin() + 1, fraction.end(), digit));
}

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
        return readPolicy(request, object(request).acl_);
    }

    // RGW answers an object whose tags a copy dropped with an empty body.
    static std::optional<Error> readTags(S3Request& request, std::string_view) {
        if (request.responseData().empty())
            return std::nullopt;
        return readInto(parseTagging(request.responseData()), object(request).tags_, "the tag set",
                        request.responseStatusCode());
    }

    static std::optional<Error> readRetention(S3Request& request, std::string_view) {
        return readInto(parseRetention(request.responseData()), object(request).retention_,
                        "the retention", request.responseStatusCode());
    }

    static std::optional<Error> readLegalHold(S3Request& request, std::string_view) {
        return readInto(parseLegalHold(request.responseData()), object(request).legalHold_,
                        "the legal hold", request.responseStatusCode());
    }

    static std::optional<Error> readParts(S3Request& request, std::string_view) {
        PartList list;
        auto error = readInto(parsePartList(request.responseData()), list, "the part list",
                              request.responseStatusCode());
        object(request).parts_ = std::move(list.parts);
        object(request).isTruncated_ = list.isTruncated;
        object(request).nextPartNumberMarker_ = list.nextPartNumberMarker;
        return error;
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
    static constexpr std::array<S3Kind, 17> kinds{{
        {.read = &readObject, .fetchesObject = true},  // get
        {.method = "PUT",
         .prepare = &withPolicy,
         .read = &readETag,
         .perform = &upload,
         .takesValue = true},  // putFile
        {.method = "PUT",
         .read = &readCopy,
         .perform = &PartCopy::perform,
         .takesValue = true},                                           // copy
        {.method = "DELETE"},                                           // remove
        {.subresource = "acl", .read = &readAcl},                       // getAcl
        putKind("acl"),                                                 // setAcl
        {.method = "HEAD", .read = &readETag, .missing = "NoSuchKey"},  // head
        {.method = "PUT",
         .prepare = &withKeptGrants,
         .read = &readCopy,
         .perform = &MetadataReplacement::perform,
         .takesValue = true},                                                 // setMeta
        {.subresource = "tagging", .read = &readTags},                        // getTagging
        putKind("tagging"),                                                   // setTagging
        deleteKind("tagging"),                                                // deleteTagging
        {.subresource = "retention", .read = &readRetention},                 // getRetention
        putKind("retention"),                                                 // setRetention
        {.subresource = "legal-hold", .read = &readLegalHold},                // getLegalHold
        putKind("legal-hold"),                                                // setLegalHold
        {.read = &readParts, .missing = "NoSuchUpload", .takesValue = true},  // listParts
        {.method = "DELETE", .missing = "NoSuchUpload", .takesValue = true},  // abortUpload
    }};
    static_assert(kinds.size() ==
                  static_cast<std::size_t>(S3ObjectRequest::Operation::abortUpload) + 1);
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
void S3ObjectRequest::setCopyPartThreshold(std::uint64_t bytes) {
    gCopyPartThreshold = bytes;
}
std::uint64_t S3ObjectRequest::copyPartThreshold() {
    return gCopyPartThreshold;
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
    updateQuery();
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
    copySource_.emplace(std::move(*bucket), std::move(*key));
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

void S3ObjectRequest::setValue(const StringMap& tags) {
    if (auto error = detail::tagSetProblem(tags, maxTags))
        return failBeforeSending(std::move(*error));
    setDocument(detail::taggingBody(tags));
}

void S3ObjectRequest::setValue(const S3Retention& retention) {
    if ((retention.mode != "GOVERNANCE" && retention.mode != "COMPLIANCE") ||
        !isIsoTime(retention.retainUntilDate))
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            "a retention is GOVERNANCE or COMPLIANCE until a time like 2030-01-01T00:00:00Z"));
    setDocument(detail::retentionBody(retention));
}

void S3ObjectRequest::setValue(bool legalHold) {
    setDocument(detail::legalHoldBody(legalHold));
}

void S3ObjectRequest::setValue(const std::string& uploadId) {
    if (uploadId.empty())
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidParameter, "an upload id is required"));
    uploadId_ = uploadId;
    updateQuery();
}

void S3ObjectRequest::setVersionId(OptionalString versionId) {
    using enum Operation;
    if (state() != State::ready)
        return;
    const bool printable = versionId && !versionId->empty() &&
                           std::all_of(versionId->begin(), versionId->end(),
                                       [](char c) { return c > ' ' && c < 0x7f; });
    const bool versioned = operation_ != putFile && operation_ != copy && operation_ != setMeta &&
                           operation_ != listParts && operation_ != abortUpload;
    if (versionId && (!printable || !versioned))
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            versioned ? "a version id is printable ASCII" : "this request names no version"));
    versionId_ = std::move(versionId);
    updateQuery();
}

void S3ObjectRequest::setMaxResultCount(std::int32_t count) {
    if (state() != State::ready)
        return;
    maxResultCount_ = count;
    updateQuery();
}

void S3ObjectRequest::setPartNumberMarker(std::int32_t number) {
    if (state() != State::ready)
        return;
    partNumberMarker_ = number;
    updateQuery();
}

void S3ObjectRequest::updateQuery() {
    clearQueryParameters();
    if (const char* subresource =
            detail::ObjectKinds::kinds[static_cast<std::size_t>(operation_)].subresource)
        setQueryParameter(subresource, "");
    if (versionId_)
        setQueryParameter("versionId", *versionId_);
    if (uploadId_.empty())
        return;
    setQueryParameter("uploadId", uploadId_);
    if (maxResultCount_)
        setQueryParameter("max-parts", std::to_string(*maxResultCount_));
    if (partNumberMarker_)
        setQueryParameter("part-number-marker", std::to_string(*partNumberMarker_));
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

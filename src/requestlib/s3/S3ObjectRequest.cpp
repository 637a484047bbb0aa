#include "quilo/requestlib/s3/S3ObjectRequest.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/files/SourceFile.hpp"
#include "requestlib/http/Engine.hpp"
#include "requestlib/http/RangedDownload.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "requestlib/s3/MetadataReplacement.hpp"
#include "requestlib/s3/MultipartUpload.hpp"
#include "requestlib/s3/PartCopy.hpp"
#include "requestlib/s3/PartStream.hpp"
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
    static S3ObjectRequest& object(HTTPRequest& request) {
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
        const auto after = object(request).partNumberMarker_.value_or(0);
        auto error = readInto(parsePartList(request.responseData(), after), list, "the part list",
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
    static void uploadStream(RequestRun& run);

    static constexpr S3Kind uploadKind{.method = "PUT",
                                       .prepare = &withPolicy,
                                       .read = &readETag,
                                       .perform = &upload,
                                       .takesValue = true};

    // In the order of S3ObjectRequest::Operation.
    static constexpr std::array<S3Kind, 19> kinds{{
        {.read = &readObject, .fetchesObject = true},  // get
        uploadKind,                                    // putFile
        {.method = "PUT",
         .prepare = &withPolicy,
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
        uploadKind,                                                           // putData
        uploadKind,                                                           // putStream
    }};
    static_assert(kinds.size() ==
                  static_cast<std::size_t>(S3ObjectRequest::Operation::putStream) + 1);
};

// A body up to the threshold goes in one PUT, signed with its digest, which a worker computes
// first; a larger one in parts.
void ObjectKinds::upload(RequestRun& run) {
    if (object(run.request()).reader_)
        return uploadStream(run);
    auto whole = run.body();
    if (auto* error = std::get_if<Error>(&whole))
        return run.finish(std::move(*error));
    auto body = std::get<BodySource>(std::move(whole));
    if (body.size() > S3ObjectRequest::multipartThreshold())
        return MultipartUpload::start(run.shared_from_this(), std::move(body));
    if (!S3ObjectRequest::verifiesChecksums())
        return run.performSingle();
    const std::string what = body.file() ? body.file()->path() : "the body";
    Engine::instance().hash(body, [run = run.shared_from_this(), what](std::string sha256) {
        if (run->ended())
            return;
        if (sha256.empty())
            return run->finish(
                makeError(ErrorKind::localFile, Code::CannotReadFile, "cannot read " + what));
        run->setBodySha256(std::move(sha256));
        run->guarded([&] { run->performSingle(); });
    });
}

// A stream that ends within its first part goes in one PUT; the parts of a longer one go up as
// they come. Which it is shows with the second part, which may be the empty end.
void ObjectKinds::uploadStream(RequestRun& run) {
    auto stream = std::make_shared<PartStream>(
        object(run.request()).reader_, S3ObjectRequest::multipartPartSize(),
        static_cast<std::size_t>(S3ObjectRequest::multipartConcurrency()) + 1,
        S3ObjectRequest::verifiesChecksums());
    auto held = std::make_shared<std::vector<PartStream::Part>>();
    auto self = run.shared_from_this();
    run.setCancelHandler([self, stream] {
        stream->stop();
        self->finish(cancelledError());
    });
    stream->start([self, stream, held](PartStream::Part part) {
        if (self->ended())
            return stream->stop();
        self->guarded([&] {
            if (part.error) {
                stream->stop();
                return self->finish(std::move(*part.error));
            }
            held->push_back(std::move(part));
            auto& first = held->front();
            if (first.last ||
                (held->size() == 2 && held->back().last && held->back().bytes.size() == 0)) {
                stream->stop();
                self->setCancelHandler(nullptr);
                self->setBodySha256(std::move(first.sha256));
                self->useBody(std::move(first.bytes));
                return self->performSingle();
            }
            if (held->size() == 2)
                MultipartUpload::startStream(self, stream, std::move(*held));
        });
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

void S3ObjectRequest::setReader(Reader reader) {
    if (!reader)
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidParameter, "a stream's upload needs a reader"));
    reader_ = std::move(reader);
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
    const bool printable = versionId && detail::isVersionId(*versionId);
    const bool versioned = !uploads() && operation_ != copy && operation_ != setMeta &&
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

bool S3ObjectRequest::uploads() const {
    return operation_ == Operation::putFile || operation_ == Operation::putData ||
           operation_ == Operation::putStream;
}

// Whether an option may be set: not once started, and only on a request that takes it.
bool S3ObjectRequest::refuseUnless(bool takes, std::string_view option) {
    if (state() != State::ready)
        return true;
    if (!takes)
        failBeforeSending(detail::misuse(detail::Code::InvalidParameter,
                                         std::string("this request takes no ").append(option)));
    return !takes;
}

void S3ObjectRequest::setObjectHeaders(const StringMap& headers) {
    if (refuseUnless(uploads() || operation_ == Operation::copy, "object headers"))
        return;
    detail::HeaderList out;
    if (auto error = detail::objectHeaders(headers, out))
        return failBeforeSending(std::move(*error));
    for (auto& [name, value] : out)
        addRequestHeader(std::move(name), std::move(value));
    if (operation_ != Operation::copy || headers.empty())
        return;
    const auto& given = requestHeaders();
    if (std::any_of(given.begin(), given.end(), [](const auto& header) {
            return detail::equalsIgnoringCase(header.first, "x-amz-metadata-directive") &&
                   header.second == "COPY";
        }))
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            "a copy that keeps its source's metadata (COPY) takes no headers of its own"));
    setMetadataDirective("REPLACE");
}

void S3ObjectRequest::setStorageClass(const std::string& storageClass) {
    if (refuseUnless(uploads() || operation_ == Operation::copy, "storage class"))
        return;
    const bool valid =
        !storageClass.empty() && std::all_of(storageClass.begin(), storageClass.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        });
    if (!valid)
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidParameter,
                           "a storage class is upper-case letters, digits and underscores"));
    addRequestHeader("x-amz-storage-class", storageClass);
}

void S3ObjectRequest::setTagging(std::string_view tagging) {
    if (refuseUnless(uploads() || operation_ == Operation::copy, "tags"))
        return;
    std::string header;
    if (auto error = detail::taggingHeader(tagging, maxTags, header))
        return failBeforeSending(std::move(*error));
    addRequestHeader("x-amz-tagging", header);
    if (operation_ == Operation::copy)
        setRequestHeader("x-amz-tagging-directive", "REPLACE");
}

void S3ObjectRequest::setServerSideEncryption(const std::string& algorithm,
                                              OptionalString kmsKeyId) {
    if (refuseUnless(uploads() || operation_ == Operation::copy, "server-side encryption"))
        return;
    if (algorithm != "AES256" && algorithm != "aws:kms")
        return failBeforeSending(detail::misuse(detail::Code::InvalidParameter,
                                                "server-side encryption is AES256 or aws:kms"));
    if (kmsKeyId && algorithm != "aws:kms")
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidParameter, "a KMS key id goes with aws:kms alone"));
    addRequestHeader("x-amz-server-side-encryption", algorithm);
    if (kmsKeyId)
        addRequestHeader("x-amz-server-side-encryption-aws-kms-key-id", std::move(*kmsKeyId));
}

void S3ObjectRequest::setCustomerKey(std::string_view base64Key) {
    using enum Operation;
    if (refuseUnless(uploads() || operation_ == copy || operation_ == get || operation_ == head,
                     "customer key"))
        return;
    detail::HeaderList out;
    if (auto error = detail::customerKey(base64Key, out))
        return failBeforeSending(std::move(*error));
    for (auto& [name, value] : out)
        addRequestHeader(std::move(name), std::move(value));
}

void S3ObjectRequest::setMetadataDirective(const std::string& directive) {
    if (refuseUnless(operation_ == Operation::copy, "metadata directive"))
        return;
    if (directive != "COPY" && directive != "REPLACE")
        return failBeforeSending(detail::misuse(detail::Code::InvalidParameter,
                                                "a metadata directive is COPY or REPLACE"));
    setRequestHeader("x-amz-metadata-directive", directive);
}

void S3ObjectRequest::setSourceVersionId(OptionalString versionId) {
    if (refuseUnless(operation_ == Operation::copy, "source version") || !copySource_)
        return;
    if (versionId && !detail::isVersionId(*versionId))
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidParameter, "a version id is printable ASCII"));
    sourceVersionId_ = std::move(versionId);
    std::string source = detail::copySource(copySource_->first, copySource_->second);
    if (sourceVersionId_)
        source += "?versionId=" + detail::uriEncode(*sourceVersionId_);
    setRequestHeader("x-amz-copy-source", std::move(source));
}

void S3ObjectRequest::setCondition(Condition condition, const std::string& value) {
    using enum Condition;
    if (refuseUnless(operation_ == Operation::get || operation_ == Operation::head, "precondition"))
        return;
    const bool time = condition == ifModifiedSince || condition == ifUnmodifiedSince;
    const auto date = time ? detail::httpDate(value) : std::optional(value);
    if (!date || date->empty())
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidParameter, time ? "\"" + value + "\" is not a time"
                                                                : "an entity tag is not empty"));
    static constexpr const char* kNames[] = {"If-Match", "If-None-Match", "If-Modified-Since",
                                             "If-Unmodified-Since"};
    setRequestHeader(kNames[static_cast<int>(condition)], *date);
}

std::string S3ObjectRequest::resultVersionId() const {
    const auto found = responseHeaders().find("x-amz-version-id");
    return found == responseHeaders().end() ? std::string() : found->second;
}

bool S3ObjectRequest::deleteMarker() const {
    const auto found = responseHeaders().find("x-amz-delete-marker");
    return found != responseHeaders().end() && found->second == "true";
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

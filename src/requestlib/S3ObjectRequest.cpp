#include "quilo/requestlib/S3ObjectRequest.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "requestlib/Attempt.hpp"
#include "requestlib/MultipartUpload.hpp"
#include "requestlib/RequestRun.hpp"
#include "requestlib/S3Headers.hpp"
#include "requestlib/S3Xml.hpp"
#include "requestlib/Text.hpp"

namespace quilo {
namespace {

constexpr std::uint64_t kMiB = 1u << 20;
// Services refuse parts smaller than this, except the last one.
constexpr std::uint64_t kMinPartSize = 5 * kMiB;

std::atomic<std::uint64_t> gMultipartThreshold{64 * kMiB};
std::atomic<std::uint64_t> gPartSize{16 * kMiB};
std::atomic<int> gPartConcurrency{4};
std::atomic<bool> gVerifyChecksums{true};

Error misuse(std::string code, std::string message) {
    return Error{ErrorKind::misuse, std::move(code), std::move(message), 0, {}};
}

Error malformed(std::string_view what, const std::string& problem, int status) {
    return Error{ErrorKind::response,
                 "MalformedResponse",
                 std::string(what) + " could not be read: " + problem,
                 status,
                 {}};
}

}  // namespace

void S3ObjectRequest::setMultipartThreshold(std::uint64_t bytes) {
    gMultipartThreshold = bytes;
}
std::uint64_t S3ObjectRequest::multipartThreshold() {
    return gMultipartThreshold;
}
void S3ObjectRequest::setMultipartPartSize(std::uint64_t bytes) {
    gPartSize = std::max(bytes, kMinPartSize);
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
void S3ObjectRequest::setVerifiesChecksums(bool verify) {
    gVerifyChecksums = verify;
}
bool S3ObjectRequest::verifiesChecksums() {
    return gVerifyChecksums;
}

void S3ObjectRequest::setUp(Operation operation, OptionalString bucket, OptionalString key) {
    operation_ = operation;
    if (!bucket || bucket->empty())
        failBeforeSending(misuse("MissingBucket", "a bucket name is required"));
    else if (!key || key->empty())
        failBeforeSending(misuse("MissingKey", "an object key is required"));
    setBucket(bucket);
    setKey(key);
    switch (operation) {
        case Operation::get:
            break;
        case Operation::putFile:
        case Operation::copy:
            setVerb("PUT");
            break;
        case Operation::remove:
            setVerb("DELETE");
            break;
        case Operation::getAcl:
            setVerb("GET", "acl");
            break;
        case Operation::setAcl:
            setVerb("PUT", "acl");
            break;
        case Operation::head:
            setVerb("HEAD");
            break;
        case Operation::setMeta:
            // Metadata can only be replaced by copying the object onto itself.
            setVerb("PUT");
            if (bucket && key)
                addRequestHeader("x-amz-copy-source", detail::copySource(*bucket, *key));
            addRequestHeader("x-amz-metadata-directive", "REPLACE");
            break;
    }
}

void S3ObjectRequest::setCopySource(OptionalString bucket, OptionalString key) {
    if (!bucket || bucket->empty()) {
        failBeforeSending(misuse("MissingBucket", "the source bucket name is required"));
        return;
    }
    if (!key || key->empty()) {
        failBeforeSending(misuse("MissingKey", "the source object key is required"));
        return;
    }
    addRequestHeader("x-amz-copy-source", detail::copySource(*bucket, *key));
}

void S3ObjectRequest::setSourceFile(OptionalString path) {
    if (!path || path->empty()) {
        failBeforeSending(Error{ErrorKind::localFile,
                                "MissingFilePath",
                                "an upload needs the path of a local file",
                                0,
                                {}});
        return;
    }
    setUploadFilePath(std::move(path));
}

void S3ObjectRequest::setMetadataHeaders(const StringMap& meta) {
    detail::HeaderList headers;
    if (auto error = detail::metadataHeaders(meta, headers)) {
        failBeforeSending(std::move(*error));
        return;
    }
    for (auto& [name, value] : headers)
        addRequestHeader(std::move(name), std::move(value));
}

void S3ObjectRequest::setAccessPolicy(std::optional<std::string> policy) {
    if (state() != State::ready)
        return;
    if (policy && !detail::isSafeHeaderValue(*policy)) {
        failBeforeSending(misuse("InvalidAccessPolicy", "the access policy holds a line break"));
        return;
    }
    accessPolicy_ = std::move(policy);
}

std::optional<Error> S3ObjectRequest::prepareAttempt(detail::AttemptSpec& attempt) {
    attempt.url = attempt.redirectURL.empty() ? resourceURL() : attempt.redirectURL;
    if (auto error = HTTPRequest::prepareAttempt(attempt))
        return error;
    // Fetching an object into memory was asked for, whatever its size.
    if (operation_ == Operation::get)
        attempt.maxPayloadMemory = SIZE_MAX;
    attempt.digestReceivedBody = operation_ == Operation::get && verifiesChecksums();
    attempt.digestSentBody = operation_ == Operation::putFile && verifiesChecksums();
    if (operation_ == Operation::putFile && accessPolicy_)
        attempt.headers.emplace_back("x-amz-acl", *accessPolicy_);
    if (operation_ == Operation::setMeta)
        attempt.headers.insert(attempt.headers.end(), keptGrants_.begin(), keptGrants_.end());
    return signAttempt(attempt);
}

void S3ObjectRequest::perform(detail::RequestRun& run) {
    struct stat info {};
    if (operation_ == Operation::putFile && uploadFilePath() &&
        ::stat(uploadFilePath()->c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_size) > multipartThreshold()) {
        multipart_ = true;
        detail::MultipartUpload::start(run.shared_from_this(),
                                       static_cast<std::uint64_t>(info.st_size));
        return;
    }
    if (operation_ == Operation::setMeta) {
        copyKeepingAcl(run);
        return;
    }
    run.performSingle();
}

void S3ObjectRequest::copyKeepingAcl(detail::RequestRun& run) {
    bool callerSetsAcl = std::any_of(requestHeaders().begin(), requestHeaders().end(), [](auto& h) {
        std::string name = detail::toLower(h.first);
        return name == "x-amz-acl" || name.starts_with("x-amz-grant-");
    });
    if (callerSetsAcl) {
        run.performSingle();
        return;
    }
    auto self = std::static_pointer_cast<S3ObjectRequest>(shared_from_this());
    auto running = run.shared_from_this();
    detail::ExchangePlan read;
    read.reportsHeaders = false;
    read.prepare = [self](detail::AttemptSpec& attempt) {
        attempt.url =
            attempt.redirectURL.empty() ? self->resourceURL({{"acl", ""}}) : attempt.redirectURL;
        return self->signAttempt(attempt);
    };
    running->exchange(std::move(read), [self, running](detail::ExchangeResult result) {
        if (result.error || result.status / 100 != 2) {
            running->finish(running->recordFailure(std::move(result)));
            return;
        }
        auto policy = detail::parseAccessControlPolicy(result.body);
        if (!policy.value) {
            running->finish(
                malformed("the object's access-control list", policy.problem, result.status));
            return;
        }
        AclMap acl;
        for (const auto& grant : policy.value->grants) {
            const auto& grantee = grant.grantee;
            switch (grantee.type) {
                case S3Grantee::Type::canonicalUser:
                    acl[grant.permission].push_back("id=" + grantee.id);
                    break;
                case S3Grantee::Type::group:
                    acl[grant.permission].push_back("uri=" + grantee.uri);
                    break;
                case S3Grantee::Type::email:
                    acl[grant.permission].push_back("emailAddress=" + grantee.emailAddress);
                    break;
            }
        }
        if (auto error = detail::grantHeaders(acl, self->keptGrants_)) {
            running->finish(Error{ErrorKind::response,
                                  "UnsupportedAccessControlList",
                                  "the object's access-control list cannot be carried over the "
                                  "copy: " +
                                      error->message,
                                  result.status,
                                  {}});
            return;
        }
        running->performSingle();
    });
}

std::optional<Error> S3ObjectRequest::checkIntegrity(const std::string& actualMd5) const {
    if (!detail::contradictsMd5(etag_, actualMd5))
        return std::nullopt;
    return Error{ErrorKind::integrity,
                 "ChecksumMismatch",
                 "the bytes have MD5 " + actualMd5 + " but the service's ETag is " + etag_,
                 responseStatusCode(),
                 {}};
}

std::optional<Error> S3ObjectRequest::acceptResponse() {
    auto header = responseHeaders().find("ETag");
    if (header != responseHeaders().end())
        etag_ = detail::unquoteETag(header->second);
    switch (operation_) {
        case Operation::get: {
            bool customerKey =
                responseHeaders().contains("x-amz-server-side-encryption-customer-algorithm");
            auto encryption = responseHeaders().find("x-amz-server-side-encryption");
            bool kms =
                encryption != responseHeaders().end() && encryption->second.starts_with("aws:kms");
            // A partial answer carries the whole object's ETag.
            if (responseStatusCode() == 200 && !customerKey && !kms)
                return checkIntegrity(receivedBodyMd5());
            return std::nullopt;
        }
        case Operation::putFile: {
            if (!multipart_)
                return checkIntegrity(sentBodyMd5());
            // Completion can fail after its 200 has gone out; the body then holds an <Error>.
            if (detail::parseErrorDocument(responseData()).value)
                return errorForResponse();
            auto completed = detail::parseCompleteMultipartUpload(responseData());
            if (!completed.value)
                return malformed("the multipart completion", completed.problem,
                                 responseStatusCode());
            etag_ =
                completed.value->empty() ? multipartETag_ : detail::unquoteETag(*completed.value);
            return std::nullopt;
        }
        case Operation::copy:
        case Operation::setMeta: {
            // A copy can fail after its 200 has gone out; the body then holds an <Error>.
            auto failure = detail::parseErrorDocument(responseData());
            if (failure.value)
                return errorForResponse();
            auto copied = detail::parseCopyObjectResult(responseData());
            if (!copied.value)
                return malformed("the copy result", copied.problem, responseStatusCode());
            etag_ = detail::unquoteETag(copied.value->etag);
            return std::nullopt;
        }
        case Operation::getAcl: {
            auto policy = detail::parseAccessControlPolicy(responseData());
            if (!policy.value)
                return malformed("the access-control list", policy.problem, responseStatusCode());
            acl_ = std::move(policy.value);
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

Error S3ObjectRequest::errorForResponse() const {
    Error error = S3Request::errorForResponse();
    // A HEAD answer has no body to name the error.
    if (operation_ == Operation::head && responseStatusCode() == 404 && responseData().empty())
        error.code = "NoSuchKey";
    return error;
}

}  // namespace quilo

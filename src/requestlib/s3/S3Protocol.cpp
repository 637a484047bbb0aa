#include "requestlib/s3/S3Protocol.hpp"

#include <chrono>

#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "quilo/requestlib/s3/S3Request.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/http/RequestRun.hpp"
#include "requestlib/s3/Addressing.hpp"
#include "requestlib/s3/BucketRegions.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/S3Kind.hpp"
#include "requestlib/s3/S3Xml.hpp"
#include "requestlib/signing/SigV4.hpp"

namespace quilo::detail {
namespace {

bool isSignedHeader(std::string_view name) {
    return toLower(name).starts_with("x-amz-") || equalsIgnoringCase(name, "content-type") ||
           equalsIgnoringCase(name, "content-md5") || equalsIgnoringCase(name, "host");
}

// The code S3 would have named for a status whose answer came without a document.
std::string codeForStatus(int status) {
    switch (status) {
        case 301:
            return "PermanentRedirect";
        case 304:
            return "NotModified";
        case 307:
            return "TemporaryRedirect";
        case 400:
            return "BadRequest";
        case 403:
            return "AccessDenied";
        case 404:
            return "NotFound";
        case 405:
            return "MethodNotAllowed";
        case 409:
            return "Conflict";
        case 412:
            return "PreconditionFailed";
        case 501:
            return "NotImplemented";
        case 503:
            return "ServiceUnavailable";
        default:
            return status >= 500 ? "InternalError" : "HTTP" + std::to_string(status);
    }
}

// A body is signed with the digest a worker computed ahead; a file without one (checks turned
// off) goes unsigned.
std::string payloadHash(const Attempt& attempt) {
    if (!attempt.bodySha256.empty())
        return attempt.bodySha256;
    return attempt.body.isFile() ? std::string(kUnsignedPayload)
                                 : attempt.body.hexDigest(StreamingDigest::Algorithm::sha256);
}

// Fills in the URL of an attempt that has none yet: the request's resource with `query`.
std::optional<Error> addressed(const S3Request& request, Attempt& attempt, const Query& query) {
    if (!attempt.url.empty())
        return std::nullopt;
    auto url = resourceURL(request, query);
    if (auto* error = std::get_if<Error>(&url))
        return std::move(*error);
    attempt.url = std::get<std::string>(std::move(url));
    return std::nullopt;
}

// The region an error answer says the bucket lives in: x-amz-bucket-region, or the <Region> of
// a signature refused for the wrong one.
std::optional<std::string> regionIn(const Answer& answer) {
    const auto header = answer.headers.find("x-amz-bucket-region");
    std::string region = header == answer.headers.end() ? "" : header->second;
    if (region.empty() && answer.status == 400) {
        auto document = parseErrorDocument(answer.body);
        if (document.value && document.value->code == "AuthorizationHeaderMalformed")
            region = document.value->region;
    }
    return isRegionName(region) ? std::optional(region) : std::nullopt;
}

}  // namespace

const S3Protocol& S3Protocol::instance() {
    static const S3Protocol protocol;
    return protocol;
}

void S3Protocol::perform(RequestRun& run) const {
    const auto& request = static_cast<const S3Request&>(run.request());
    if (request.kind_ && request.kind_->perform)
        return request.kind_->perform(run);
    run.performSingle();
}

std::optional<Error> S3Protocol::prepare(HTTPRequest& request, Attempt& attempt) const {
    auto& s3 = static_cast<S3Request&>(request);
    if (!s3.url() || s3.url()->empty())
        if (auto error = addressed(s3, attempt, s3.query_))
            return error;
    if (auto error = Protocol::prepare(request, attempt))
        return error;
    if (s3.kind_ && s3.kind_->prepare)
        s3.kind_->prepare(s3, attempt);
    return sign(s3, attempt);
}

std::optional<Error> S3Protocol::prepareOwn(const S3Request& request, Attempt& attempt,
                                            std::string method, const Query& query) {
    attempt.method = std::move(method);
    attempt.expectContinue = asksToContinue(request.requestHeaders());
    if (auto error = addressed(request, attempt, query))
        return error;
    return sign(request, attempt);
}

std::optional<Error> S3Protocol::sign(const S3Request& request, Attempt& attempt) {
    if (request.accessKey_.has_value() != request.secretKey_.has_value())
        return misuse(Code::IncompleteCredentials,
                      request.accessKey_ ? "an access key was given without a secret key"
                                         : "a secret key was given without an access key");
    const auto url = parseUrl(attempt.url);
    if (!url)
        return misuse(Code::InvalidURL, "\"" + attempt.url + "\" is not a URL");
    attempt.headers.emplace_back("Host", hostHeader(*url));
    if (attempt.scope.empty())
        attempt.scope = request.region();
    if (!request.accessKey_)
        return std::nullopt;  // anonymous

    SigningInput input;
    input.payloadHash = payloadHash(attempt);
    input.time = std::chrono::system_clock::now();
    attempt.headers.emplace_back("x-amz-date", amzDate(input.time));
    attempt.headers.emplace_back("x-amz-content-sha256", input.payloadHash);
    if (request.sessionToken_)
        attempt.headers.emplace_back("x-amz-security-token", *request.sessionToken_);
    input.method = attempt.method;
    input.encodedPath = url->path;
    input.query = decodeQuery(url->query);
    for (const auto& header : attempt.headers)
        if (isSignedHeader(header.first))
            input.headers.push_back(header);
    input.accessKey = *request.accessKey_;
    input.secretKey = *request.secretKey_;
    input.region = attempt.scope;
    auto signature = signV4(input);
    if (signature.authorization.empty())
        return makeError(ErrorKind::transport, Code::SigningFailed,
                         "the request could not be signed");
    attempt.headers.emplace_back("Authorization", std::move(signature.authorization));
    return std::nullopt;
}

// Only a plain ETag is the MD5 of the bytes: an object sent in parts, or encrypted, has another
// kind. Nothing else is worth digesting.
bool S3Protocol::checksPayload(const HTTPRequest& request, int status,
                               const HeaderMap& headers) const {
    const auto* kind = static_cast<const S3Request&>(request).kind_;
    const auto etag = headers.find("ETag");
    return kind && kind->fetchesObject && S3ObjectRequest::verifiesChecksums() && status == 200 &&
           !isEncrypted(headers) && etag != headers.end() && isPlainMd5(unquoteETag(etag->second));
}

std::optional<Error> S3Protocol::accept(HTTPRequest& request, std::string_view payloadMd5) const {
    auto& s3 = static_cast<S3Request&>(request);
    if (s3.kind_ && s3.kind_->read)
        return s3.kind_->read(s3, payloadMd5);
    return std::nullopt;
}

Error S3Protocol::describe(const HTTPRequest& request) const {
    const auto& s3 = static_cast<const S3Request&>(request);
    const int status = request.responseStatusCode();
    Error error = serviceError(codeForStatus(status), {}, status);
    if (auto document = parseErrorDocument(request.responseData()); document.value) {
        if (!document.value->code.empty())
            error.code = document.value->code;
        error.message = document.value->message;
        error.requestId = document.value->requestId;
    } else if (status == 404 && request.responseData().empty() && s3.kind_ && s3.kind_->missing) {
        error.code = s3.kind_->missing;
    }
    if (error.message.empty())
        error.message = "the service answered HTTP " + std::to_string(status);
    if (error.requestId.empty()) {
        const auto id = request.responseHeaders().find("x-amz-request-id");
        if (id != request.responseHeaders().end())
            error.requestId = id->second;
    }
    return error;
}

// SlowDown says that nothing was done, so even a request that must not repeat its effect may
// go again; RequestTimeout says the service gave up waiting for the body.
std::optional<std::chrono::milliseconds> S3Protocol::retry(const Answer& answer,
                                                           bool repeatable) const {
    if (!answer.error && (answer.status == 503 || answer.status == 400)) {
        const std::string code = serviceCode(answer);
        if (answer.status == 503 && code == "SlowDown")
            return retryAfter(answer);
        if (answer.status == 400 && code == "RequestTimeout" && repeatable)
            return std::chrono::milliseconds(0);
    }
    return Protocol::retry(answer, repeatable);
}

// An answer that names the bucket's region has the request signed for it once more, at the
// library's own endpoint for the bucket there: never where a Location points.
Redirect S3Protocol::redirect(const HTTPRequest& request, const Answer& answer,
                              const Attempt& sent) const {
    const auto region = regionIn(answer);
    if (!region)
        return Protocol::redirect(request, answer, sent);
    if (sent.redirects > 0)
        return {};  // a second answer that moves the request is the service's last word
    const auto& s3 = static_cast<const S3Request&>(request);
    if (s3.bucket_ && !s3.bucket_->empty())
        BucketRegions::remember(s3.host(), *s3.bucket_, *region);
    return {.verdict = Redirect::Verdict::follow,
            .url = inRegion(s3, sent.url, *region),
            .scope = *region};
}

BodyRules S3Protocol::bodyRules(const HTTPRequest& request) const {
    const auto* kind = static_cast<const S3Request&>(request).kind_;
    if (!kind || !kind->fetchesObject)
        return {.maxPayload = kMaxXmlBytes, .maxOther = kMaxXmlBytes};
    return {.maxOther = kMaxXmlBytes,
            .rangesAbove = S3ObjectRequest::rangeThreshold(),
            .rangeBytes = S3ObjectRequest::rangeSize(),
            .rangesAtOnce = static_cast<std::size_t>(S3ObjectRequest::rangeConcurrency())};
}

std::optional<Error> readPolicy(const S3Request& request,
                                std::optional<S3AccessControlPolicy>& policy) {
    auto parsed = parseAccessControlPolicy(request.responseData());
    if (!parsed.value)
        return malformedError("the access-control list", parsed.problem,
                              request.responseStatusCode());
    policy = std::move(parsed.value);
    return std::nullopt;
}

std::string serviceCode(const Answer& answer) {
    auto document = parseErrorDocument(answer.body);
    return document.value ? document.value->code : std::string();
}

}  // namespace quilo::detail

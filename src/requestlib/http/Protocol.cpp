#include "requestlib/http/Protocol.hpp"

#include <algorithm>
#include <charconv>

#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/http/RequestRun.hpp"

namespace quilo::detail {
namespace {

constexpr auto kMaxRetryAfter = std::chrono::seconds(20);

// Credentials and bodies follow a redirect only where the request was going anyway, or to the
// same host over TLS.
bool safeTarget(const Url& from, const Url& to) {
    const bool sameHost = from.host == to.host;
    if (from.scheme == to.scheme)
        return sameHost && from.port == to.port;
    return sameHost && from.scheme == "http" && to.scheme == "https";
}

}  // namespace

const Protocol& Protocol::http() {
    static const Protocol protocol;
    return protocol;
}

void Protocol::perform(RequestRun& run) const {
    run.performSingle();
}

std::optional<Error> Protocol::prepare(HTTPRequest& request, Attempt& attempt) const {
    if (attempt.url.empty()) {
        if (!request.url() || request.url()->empty())
            return misuse(Code::MissingURL, "the request has no URL");
        attempt.url = *request.url();
    }
    attempt.method = request.requestMethod();
    attempt.headers = request.requestHeaders();
    attempt.expectContinue = asksToContinue(attempt.headers);
    return std::nullopt;
}

bool Protocol::checksPayload(const HTTPRequest&, int, const HeaderMap&) const {
    return false;
}

std::optional<Error> Protocol::accept(HTTPRequest&, std::string_view) const {
    return std::nullopt;
}

Error Protocol::describe(const HTTPRequest& request) const {
    const int status = request.responseStatusCode();
    const std::string number = std::to_string(status);
    return serviceError("HTTP" + number, "the server answered HTTP " + number, status);
}

std::optional<std::chrono::milliseconds> Protocol::retry(const Answer& answer,
                                                         bool repeatable) const {
    if (answer.error) {
        const bool again =
            answer.fault == Fault::unsent || (repeatable && answer.fault == Fault::lost);
        return again ? std::optional(std::chrono::milliseconds(0)) : std::nullopt;
    }
    switch (answer.status) {
        case 500:
        case 502:
        case 503:
        case 504:
            return repeatable ? std::optional(retryAfter(answer)) : std::nullopt;
        default:
            return std::nullopt;
    }
}

Redirect Protocol::redirect(const HTTPRequest&, const Answer& answer, const Attempt& sent) const {
    const auto location = answer.headers.find("Location");
    if ((answer.status != 301 && answer.status != 307 && answer.status != 308) ||
        location == answer.headers.end() || location->second.empty())
        return {};
    const auto from = parseUrl(sent.url);
    std::string target = location->second;
    if (from && target.starts_with('/') && !target.starts_with("//"))
        target = origin(*from) + target;
    const auto to = parseUrl(target);
    if (from && to && safeTarget(*from, *to))
        return {.verdict = Redirect::Verdict::follow, .url = target, .scope = sent.scope};
    return {.verdict = Redirect::Verdict::refuse,
            .refusal = makeError(ErrorKind::service, Code::RedirectRefused,
                                 "the server redirected to " + target +
                                     ", which is neither where the request went nor the same "
                                     "host over https: nothing was sent there",
                                 answer.status)};
}

BodyRules Protocol::bodyRules(const HTTPRequest&) const {
    return {};
}

bool asksToContinue(const HeaderList& headers) {
    return std::any_of(headers.begin(), headers.end(), [](const auto& header) {
        return equalsIgnoringCase(header.first, "Expect") &&
               equalsIgnoringCase(header.second, "100-continue");
    });
}

std::chrono::milliseconds retryAfter(const Answer& answer) {
    const auto header = answer.headers.find("Retry-After");
    if (answer.status != 503 || header == answer.headers.end())
        return std::chrono::milliseconds(0);
    const std::string_view text = trimWhitespace(header->second);
    long seconds = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (failure != std::errc() || end != text.data() + text.size() || seconds < 0)
        return std::chrono::milliseconds(0);  // an HTTP date, or nonsense: the backoff alone
    return std::chrono::seconds(std::min<long>(seconds, kMaxRetryAfter.count()));
}

}  // namespace quilo::detail

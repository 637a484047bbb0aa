#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/http/Attempt.hpp"

namespace quilo {
class HTTPRequest;
}

namespace quilo::detail {

class RequestRun;

// What an answer asks of an exchange: a 3xx, or one that names another region.
struct Redirect {
    enum class Verdict { none, follow, refuse };
    Verdict verdict = Verdict::none;
    std::string url{}, scope{};  // follow: where the next attempt goes
    std::optional<Error> refusal{};
};

// Bounds on what an answer may make the library hold in memory, and how a payload comes.
struct BodyRules {
    std::size_t maxPayload = SIZE_MAX;  // a 2xx body kept in memory
    std::size_t maxOther = 1u << 20;    // any other body
    // A larger payload going to a file comes in ranges of rangeBytes, rangesAtOnce at a time.
    std::uint64_t rangesAbove = UINT64_MAX;
    std::uint64_t rangeBytes = 16u << 20;
    std::size_t rangesAtOnce = 1;
};

// The decisions that HTTP alone cannot make about a request. HTTPRequest's are plain HTTP's;
// S3Request's know the service's documents, signatures and regions.
class Protocol {
  public:
    static const Protocol& http();
    virtual ~Protocol() = default;

    // Carries out an admitted request: by default one exchange whose answer is the request's.
    virtual void perform(RequestRun& run) const;
    // Completes the wire form of the request's own exchange (URL, method, headers; the body is
    // set already) afresh for every attempt. An error fails the request without sending.
    virtual std::optional<Error> prepare(HTTPRequest& request, Attempt& attempt) const;
    // Whether the payload that this first answer begins will be checked against a digest: its
    // MD5 is then taken as it streams, for accept().
    virtual bool checksPayload(const HTTPRequest& request, int status,
                               const HeaderMap& headers) const;
    // Reads a complete 2xx answer recorded in the request; an error rejects it.
    virtual std::optional<Error> accept(HTTPRequest& request, std::string_view payloadMd5) const;
    // A recorded answer that is not 2xx, as an error.
    virtual Error describe(const HTTPRequest& request) const;
    // Whether a failed attempt may go again, and the least it must wait. An exchange that is
    // not `repeatable` may have had its effect once it reached the server.
    virtual std::optional<std::chrono::milliseconds> retry(const Answer& answer,
                                                           bool repeatable) const;
    // Where an answer to `sent` that is neither 2xx nor to be retried leads: only a 3xx, in
    // plain HTTP.
    virtual Redirect redirect(const HTTPRequest& request, const Answer& answer,
                              const Attempt& sent) const;
    virtual BodyRules bodyRules(const HTTPRequest& request) const;
};

// Whether the caller's headers ask to wait for 100 Continue before a body. Every exchange of a
// request carries the wish; only a PUT with a body acts on it.
bool asksToContinue(const HeaderList& headers);

// min(Retry-After, 20 s) of a 503, in whole seconds as HTTP gives them; 0 without one.
std::chrono::milliseconds retryAfter(const Answer& answer);

}  // namespace quilo::detail

#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/s3/S3Types.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/http/Attempt.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo {
class S3Request;
}

namespace quilo::detail {

class RequestRun;

// One kind of S3 request (list a bucket, fetch an object, ...): what it sends and how it reads
// the answer. Each request class keeps a table of its kinds.
struct S3Kind {
    std::string_view method = "GET";
    const char* subresource = nullptr;  // a value-less query parameter such as "acl"
    // Adds what this kind sends with each attempt beyond the request's own headers and body.
    void (*prepare)(const S3Request& request, Attempt& attempt) = nullptr;
    // Reads a complete 2xx answer into the request; an error rejects the answer.
    std::optional<Error> (*read)(S3Request& request, std::string_view payloadMd5) = nullptr;
    // Carries out the admitted request; without it, one exchange.
    void (*perform)(RequestRun& run) = nullptr;
    // The code of a 404 that comes without a document, as a HEAD's does.
    const char* missing = nullptr;
    // The answer is the object: kept in memory whatever its size, and its MD5 taken.
    bool fetchesObject = false;
    // Sends a value (a document, grants, a file) that only its own factory gives it.
    bool takesValue = false;
};

// The kinds that replace and remove a sub-resource, such as "tagging".
constexpr S3Kind putKind(const char* subresource) {
    return {.method = "PUT", .subresource = subresource, .takesValue = true};
}
constexpr S3Kind deleteKind(const char* subresource) {
    return {.method = "DELETE", .subresource = subresource};
}

// Reads a parsed answer into `into`; `what` names the document in the error.
template <class T, class U>
std::optional<Error> readInto(Parsed<T> parsed, U& into, std::string_view what, int status) {
    if (!parsed.value)
        return malformedError(what, parsed.problem, status);
    into = std::move(*parsed.value);
    return std::nullopt;
}

// Reads an answer's access-control list into `policy`, for the kinds that fetch one.
std::optional<Error> readPolicy(const S3Request& request,
                                std::optional<S3AccessControlPolicy>& policy);

}  // namespace quilo::detail

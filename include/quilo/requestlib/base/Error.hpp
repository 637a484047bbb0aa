#pragma once

#include <string>
#include <string_view>

#include "quilo/requestlib/base/Export.hpp"

namespace quilo {

// What kind of failure ended a request.
enum class ErrorKind {
    transport,      // no usable answer: refused, reset, unreachable, protocol breach
    timeout,        // the connection could not be made in time, or no byte moved for too long
    tls,            // handshake failed or the peer's certificate did not verify
    service,        // the server answered with an error (an HTTP 4xx/5xx or an <Error> document)
    response,       // the answer was malformed, truncated or larger than the library accepts
    integrity,      // the bytes did not match the checksum the server gave for them
    localFile,      // a local file could not be opened, read, written or renamed
    cancelled,      // cancel() ended the request
    misuse,         // the request was built with arguments it cannot be sent with
    configuration,  // the client configuration could not be applied
};

// The kind's name: "transport", "timeout", ...
QUILO_EXPORT std::string_view toString(ErrorKind kind) noexcept;

// Why a request failed, as its error() gives it.
struct QUILO_EXPORT Error {
    ErrorKind kind = ErrorKind::transport;  // what kind of failure
    // The service's error code ("NoSuchBucket", "SignatureDoesNotMatch") for service errors;
    // otherwise a short code of this library ("ConnectionRefused", "MissingKey", ...).
    std::string code;
    std::string message;    // the service's message, or this library's
    int httpStatus = 0;     // 0 when no HTTP answer was received
    std::string requestId;  // the service's request id, when it gave one

    // One line for people: "service error NoSuchBucket (HTTP 404): The specified bucket ..."
    std::string description() const;
};

}  // namespace quilo

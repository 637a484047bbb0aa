#include "quilo/requestlib/base/Error.hpp"

#include <cerrno>
#include <cstring>

#include "requestlib/base/Errors.hpp"

namespace quilo {

std::string_view toString(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::transport:
            return "transport error";
        case ErrorKind::timeout:
            return "time-out";
        case ErrorKind::tls:
            return "TLS error";
        case ErrorKind::service:
            return "service error";
        case ErrorKind::response:
            return "bad response";
        case ErrorKind::integrity:
            return "integrity error";
        case ErrorKind::localFile:
            return "local file error";
        case ErrorKind::cancelled:
            return "cancelled";
        case ErrorKind::misuse:
            return "misuse";
        case ErrorKind::configuration:
            return "configuration error";
    }
    return "error";
}

std::string Error::description() const {
    std::string text(toString(kind));
    if (!code.empty())
        text += " " + code;
    if (httpStatus != 0)
        text += " (HTTP " + std::to_string(httpStatus) + ")";
    if (!message.empty())
        text += ": " + message;
    if (!requestId.empty())
        text += " [request " + requestId + "]";
    return text;
}

}  // namespace quilo

namespace quilo::detail {

std::string_view text(Code code) noexcept {
    switch (code) {
#define QUILO_NAME(name) \
    case Code::name:     \
        return #name;
        QUILO_ERROR_CODES(QUILO_NAME)
#undef QUILO_NAME
    }
    return "Unknown";
}

Error makeError(ErrorKind kind, Code code, std::string message, int httpStatus) {
    return Error{kind, std::string(text(code)), std::move(message), httpStatus, {}};
}

Error misuse(Code code, std::string message) {
    return makeError(ErrorKind::misuse, code, std::move(message));
}

Error serviceError(std::string code, std::string message, int httpStatus) {
    return Error{ErrorKind::service, std::move(code), std::move(message), httpStatus, {}};
}

Error fileError(Code code, std::string_view action, std::string_view path) {
    const char* reason = std::strerror(errno);
    return makeError(ErrorKind::localFile, code,
                     std::string(action) + " " + std::string(path) + ": " + reason);
}

Error cancelledError() {
    return makeError(ErrorKind::cancelled, Code::Cancelled, "the request was cancelled");
}

Error malformedError(std::string_view what, std::string_view problem, int httpStatus) {
    return makeError(ErrorKind::response, Code::MalformedResponse,
                     std::string(what) + " could not be read: " + std::string(problem), httpStatus);
}

}  // namespace quilo::detail

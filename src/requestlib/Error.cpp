#include "quilo/requestlib/Error.hpp"

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

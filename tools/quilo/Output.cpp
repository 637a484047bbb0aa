#include "Output.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace quilo::cli {

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not one.
// Overlong forms, surrogates and code points above U+10FFFF are not valid.
std::size_t utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, point = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        point = point << 6 | (byte(i) & 0x3F);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    const bool c1 = point >= 0x80 && point <= 0x9F;
    return overlong || surrogate || c1 || point > 0x10FFFF ? 0 : length;
}

void appendHex(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

}  // namespace

OutputMode& outputMode() {
    static OutputMode mode;
    return mode;
}

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\') {
            out += "\\\\";
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            appendHex(out, byte);
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else if (const auto length = utf8Length(text.substr(i))) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            appendHex(out, byte);  // a C1 control or a byte that starts no valid character
            ++i;
        }
    }
    return out;
}

void readerGone() {
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &brokenPipe, nullptr);  // on whichever thread tells it
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    std::_Exit(exitFailure);
}

// A pipe's writing end polls as an error once its last reader has closed.
bool standardOutputUnread() {
    pollfd out{STDOUT_FILENO, 0, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

void printFailure(std::string_view what, const S3Request& request) {
    const auto& error = request.error();
    printFailure(what, error ? error->description() : "failed", error ? &*error : nullptr);
}

void printFailure(std::string_view what, std::string_view cause, const Error* error) {
    std::cout.flush();
    if (outputMode().json) {
        nlohmann::ordered_json line{{"failed", escaped(what)}};
        line.update(failureFields(cause, error));
        std::cerr << line.dump() << std::endl;
        return;
    }
    std::cerr << "quilo: " << escaped(what) << ": " << escaped(cause) << std::endl;
}

nlohmann::ordered_json failureFields(std::string_view cause, const Error* error) {
    const bool answered = error && error->kind == ErrorKind::service;
    return {{"kind", error ? std::string(toString(error->kind)) : "local"},
            {"code", error ? escaped(error->code) : ""},
            {"httpStatus", error ? error->httpStatus : 0},
            {"requestId", error ? escaped(error->requestId) : ""},
            {"message", escaped(answered ? std::string_view(error->message) : cause)}};
}

std::string humanBytes(std::uint64_t bytes) {
    static constexpr std::array<const char*, 5> units = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    auto value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < units.size()) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string shortDate(std::string_view iso8601) {
    std::string text(iso8601.substr(0, 19));
    if (text.size() > 10 && text[10] == 'T') {
        text[10] = ' ';
    }
    return escaped(text);
}

}  // namespace quilo::cli

#include "Output.hpp"

#include <array>
#include <cstdio>
#include <iostream>

namespace quilo::cli {

void printFailure(std::string_view what, const S3Request& request) {
    const auto& error = request.error();
    printFailure(what, error ? error->description() : "failed");
}

void printFailure(std::string_view what, std::string_view cause) {
    std::cout.flush();
    std::cerr << "quilo: " << what << ": " << cause << std::endl;
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
    return text;
}

std::string granteeText(const S3Grantee& grantee) {
    switch (grantee.type) {
        case S3Grantee::Type::group:
            return "uri=" + grantee.uri;
        case S3Grantee::Type::email:
            return "emailAddress=" + grantee.emailAddress;
        case S3Grantee::Type::canonicalUser:
            break;
    }
    return "id=" + grantee.id;
}

}  // namespace quilo::cli

#include "ToolClient.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <stdexcept>
#include <utility>

namespace quilo::cli {

namespace {

std::optional<std::string>& refusal() {
    static std::optional<std::string> reason;
    return reason;
}

}  // namespace

Quilo& client() {
    if (refusal()) {
        throw std::runtime_error(*refusal());
    }
    static Quilo instance;
    return instance;
}

int& jobs() {
    static int count = 16;
    return count;
}

void refuseToSend(std::string reason) {
    refusal() = std::move(reason);
}

std::string_view contentType(std::string_view path) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 32> types = {{
        {"avif", "image/avif"},       {"css", "text/css"},
        {"csv", "text/csv"},          {"gif", "image/gif"},
        {"gz", "application/gzip"},   {"htm", "text/html"},
        {"html", "text/html"},        {"ico", "image/vnd.microsoft.icon"},
        {"jpeg", "image/jpeg"},       {"jpg", "image/jpeg"},
        {"js", "text/javascript"},    {"json", "application/json"},
        {"md", "text/markdown"},      {"mjs", "text/javascript"},
        {"mp3", "audio/mpeg"},        {"mp4", "video/mp4"},
        {"ogg", "audio/ogg"},         {"pdf", "application/pdf"},
        {"png", "image/png"},         {"svg", "image/svg+xml"},
        {"tar", "application/x-tar"}, {"tif", "image/tiff"},
        {"tiff", "image/tiff"},       {"ttf", "font/ttf"},
        {"txt", "text/plain"},        {"wasm", "application/wasm"},
        {"webm", "video/webm"},       {"webp", "image/webp"},
        {"woff", "font/woff"},        {"woff2", "font/woff2"},
        {"xml", "application/xml"},   {"zip", "application/zip"},
    }};
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) {
        return {};
    }
    std::string extension(path.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto found = std::lower_bound(
        types.begin(), types.end(), extension,
        [](const auto& entry, const std::string& wanted) { return entry.first < wanted; });
    return found != types.end() && found->first == extension ? found->second : std::string_view{};
}

}  // namespace quilo::cli

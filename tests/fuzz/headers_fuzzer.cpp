// libFuzzer target for the response head: the input is cut into lines after each LF and fed to
// one parser, as curl hands them over; a second parser gets the same lines ended with CR LF and
// must come to the same result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "requestlib/http/ResponseHeaders.hpp"

namespace {

using quilo::detail::ResponseHeaders;

void require(bool condition) {
    if (!condition)
        std::abort();
}

// Feeds one line and checks what must hold after any line.
void feed(ResponseHeaders& head, std::string_view line, int& completions) {
    const bool wasRefused = head.refusal() != ResponseHeaders::Refusal::none;
    const auto step = head.feed(line);
    const bool refused = step == ResponseHeaders::Step::refused;
    require(!wasRefused || refused);  // refused for good
    require(refused == (head.refusal() != ResponseHeaders::Refusal::none));
    require(refused == !head.problem().empty());
    require(head.status() == 0 || (head.status() >= 100 && head.status() <= 599));
    if (step == ResponseHeaders::Step::complete) {
        ++completions;
        require(head.complete());
    }
    require(!head.complete() || head.status() >= 200);
    require(head.headers().size() <= ResponseHeaders::kMaxFields);
    // Every byte of the map came from a line, apart from the ", " that joins repeated names.
    std::size_t bytes = 0;
    for (const auto& [name, value] : head.headers())
        bytes += name.size() + value.size();
    require(bytes <= ResponseHeaders::kMaxTotalBytes + 2 * ResponseHeaders::kMaxFields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResponseHeaders bare, crlf;
    int bareCompletions = 0, crlfCompletions = 0;
    for (std::string_view rest(reinterpret_cast<const char*>(data), size); !rest.empty();) {
        const std::string_view line =
            rest.substr(0, std::min(rest.find('\n'), rest.size() - 1) + 1);
        rest.remove_prefix(line.size());
        feed(bare, line, bareCompletions);
        std::string withCr(line);
        if (line.ends_with('\n') && !line.ends_with("\r\n"))
            withCr.insert(withCr.size() - 1, 1, '\r');
        feed(crlf, withCr, crlfCompletions);
    }
    // Completion is said once per head, and the shortest head ("HTTP/1 200\n\n") takes 12 bytes.
    require(static_cast<std::size_t>(bareCompletions) <= size / 12);
    // The extra CRs could cross a size bound only with far larger inputs.
    if (2 * size >= ResponseHeaders::kMaxLineBytes)
        return 0;
    require(bareCompletions == crlfCompletions);
    require(bare.status() == crlf.status() && bare.complete() == crlf.complete() &&
            bare.refusal() == crlf.refusal() && bare.headers() == crlf.headers());
    return 0;
}

#include "requestlib/http/ResponseHeaders.hpp"

#include "requestlib/base/Text.hpp"

namespace quilo::detail {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "HTTP/1.1 200 OK" -> 200; 0 when the line is not "HTTP/x.y NNN" with an optional reason.
// curl writes the later versions without a minor number ("HTTP/2 200"), so that form passes too.
int parseStatusLine(std::string_view line) {
    line = trimWhitespace(line);
    std::string_view rest = line.substr(5);  // after "HTTP/"
    std::size_t i = 0;
    if (rest.empty() || !isDigit(rest[i++]))
        return 0;
    if (i < rest.size() && rest[i] == '.') {
        if (++i >= rest.size() || !isDigit(rest[i++]))
            return 0;
    }
    if (i >= rest.size() || rest[i++] != ' ')
        return 0;
    if (rest.size() - i < 3 || rest[i] < '1' || rest[i] > '5' || !isDigit(rest[i + 1]) ||
        !isDigit(rest[i + 2]))
        return 0;
    if (rest.size() > i + 3 && rest[i + 3] != ' ')
        return 0;
    return (rest[i] - '0') * 100 + (rest[i + 1] - '0') * 10 + (rest[i + 2] - '0');
}

}  // namespace

ResponseHeaders::Step ResponseHeaders::refuse(Refusal why, std::string problem) {
    refusal_ = why;
    problem_ = std::move(problem);
    return Step::refused;
}

ResponseHeaders::Step ResponseHeaders::statusLine(std::string_view line) {
    // A new answer begins (after a 100 Continue, for instance).
    headers_.clear();
    lastName_.clear();
    complete_ = false;
    status_ = parseStatusLine(line);
    if (status_ == 0)
        return refuse(Refusal::malformed, "the status line is not \"HTTP/x.y NNN\"");
    return Step::more;
}

ResponseHeaders::Step ResponseHeaders::feed(std::string_view line) {
    if (refusal_ != Refusal::none)
        return Step::refused;
    if (line.size() > kMaxLineBytes)
        return refuse(Refusal::tooLarge,
                      "a header line is longer than " + std::to_string(kMaxLineBytes) + " bytes");
    totalBytes_ += line.size();
    if (totalBytes_ > kMaxTotalBytes)
        return refuse(Refusal::tooLarge, "the response headers are larger than " +
                                             std::to_string(kMaxTotalBytes) + " bytes");

    if (line.starts_with("HTTP/"))
        return statusLine(line);
    if (status_ == 0)
        return refuse(Refusal::malformed, "the answer does not begin with a status line");
    if (trimWhitespace(line).empty()) {
        if (status_ >= 200 && !complete_) {
            complete_ = true;
            return Step::complete;
        }
        return Step::more;
    }
    if (++fields_ > kMaxFields)
        return refuse(Refusal::tooLarge,
                      "the answer has more than " + std::to_string(kMaxFields) + " header lines");
    // Obsolete line folding: the line continues the previous field.
    if ((line.front() == ' ' || line.front() == '\t') && !lastName_.empty()) {
        headers_[lastName_].append(" ").append(trimWhitespace(line));
        return Step::more;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return Step::more;
    std::string name(trimWhitespace(line.substr(0, colon)));
    const std::string_view value = trimWhitespace(line.substr(colon + 1));
    auto [it, inserted] = headers_.try_emplace(name, value);
    if (!inserted)
        it->second.append(", ").append(value);
    lastName_ = std::move(name);
    return Step::more;
}

}  // namespace quilo::detail

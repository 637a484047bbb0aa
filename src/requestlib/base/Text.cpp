#include "requestlib/base/Text.hpp"

#include <algorithm>
#include <cstdint>
#include <ctime>

#include "quilo/requestlib/base/Types.hpp"

namespace quilo {
namespace {
char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

namespace detail {

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string toLower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

std::string_view trimWhitespace(std::string_view text) noexcept {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool isHeaderName(std::string_view name) noexcept {
    constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               kSymbols.find(c) != std::string_view::npos;
    });
}

bool isSafeHeaderValue(std::string_view value) noexcept {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

namespace {

constexpr std::string_view kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The number in text[at, at + width), all digits; -1 otherwise.
int digitsAt(std::string_view text, std::size_t at, std::size_t width) {
    int value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Fields of "Sun, 06 Nov 1994 08:49:37 GMT" or "1994-11-06T08:49:37[.fraction]Z", checked for
// their form only; names are English whatever the locale.
std::optional<std::tm> parseTime(std::string_view text) {
    std::tm time{};
    std::size_t clock = 0;
    if (text.size() == 29 && text.substr(3, 2) == ", " && text.ends_with(" GMT")) {
        const auto month = std::find(std::begin(kMonths), std::end(kMonths), text.substr(8, 3));
        if (month == std::end(kMonths) || text[7] != ' ' || text[11] != ' ' || text[16] != ' ')
            return std::nullopt;
        time.tm_mday = digitsAt(text, 5, 2);
        time.tm_mon = static_cast<int>(month - std::begin(kMonths));
        time.tm_year = digitsAt(text, 12, 4) - 1900;
        clock = 17;
    } else if (text.size() >= 20 && text[4] == '-' && text[7] == '-' && text[10] == 'T' &&
               text.back() == 'Z') {
        const auto fraction = text.substr(19, text.size() - 20);
        if (!fraction.empty() &&
            (fraction.size() < 2 || fraction[0] != '.' ||
             digitsAt(fraction, 1, std::min<std::size_t>(fraction.size() - 1, 9)) < 0 ||
             fraction.size() > 10))
            return std::nullopt;
        time.tm_year = digitsAt(text, 0, 4) - 1900;
        time.tm_mon = digitsAt(text, 5, 2) - 1;
        time.tm_mday = digitsAt(text, 8, 2);
        clock = 11;
    } else {
        return std::nullopt;
    }
    time.tm_hour = digitsAt(text, clock, 2);
    time.tm_min = digitsAt(text, clock + 3, 2);
    time.tm_sec = digitsAt(text, clock + 6, 2);
    if (text[clock + 2] != ':' || text[clock + 5] != ':' || time.tm_mday < 1 || time.tm_mon < 0 ||
        time.tm_year < 0 || time.tm_hour < 0 || time.tm_hour > 23 || time.tm_min < 0 ||
        time.tm_min > 59 || time.tm_sec < 0 || time.tm_sec > 59)
        return std::nullopt;
    return time;
}

}  // namespace

bool isByteRange(std::string_view range) noexcept {
    if (!range.starts_with("bytes="))
        return false;
    range.remove_prefix(6);
    const auto dash = range.find('-');
    if (dash == std::string_view::npos)
        return false;
    const auto number = [](std::string_view text, std::uint64_t& value) {
        if (text.empty() || text.size() > 19)
            return false;
        value = 0;
        for (char c : text) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return true;
    };
    std::uint64_t first = 0, last = 0;
    const auto from = range.substr(0, dash), to = range.substr(dash + 1);
    if (from.empty())
        return number(to, last) && last > 0;
    return number(from, first) && (to.empty() || (number(to, last) && first <= last));
}

std::optional<std::string> httpDate(std::string_view text) {
    auto given = parseTime(text);
    if (!given)
        return std::nullopt;
    std::tm time = *given;
    const std::time_t seconds = timegm(&time);
    std::tm normal{};
    // A day such as 31 April comes back as another one: it was none.
    if (seconds == -1 || !gmtime_r(&seconds, &normal) || normal.tm_mday != given->tm_mday ||
        normal.tm_mon != given->tm_mon)
        return std::nullopt;
    // The day's name, when given, must be the day's.
    if (text.size() == 29 && text.substr(0, 3) != kDays[normal.tm_wday])
        return std::nullopt;
    const auto two = [](int n) { return std::string(1, char('0' + n / 10)) + char('0' + n % 10); };
    return std::string(kDays[normal.tm_wday]) + ", " + two(normal.tm_mday) + " " +
           std::string(kMonths[normal.tm_mon]) + " " + std::to_string(normal.tm_year + 1900) + " " +
           two(normal.tm_hour) + ":" + two(normal.tm_min) + ":" + two(normal.tm_sec) + " GMT";
}

}  // namespace detail
}  // namespace quilo

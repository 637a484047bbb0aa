#include "requestlib/http/ResponseHeaders.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quilo::detail {
namespace {

using Step = ResponseHeaders::Step;
using Refusal = ResponseHeaders::Refusal;
constexpr std::size_t kMaxLine = ResponseHeaders::kMaxLineBytes;

// Feeds each line with its CR LF, as curl hands them over; returns the last step.
Step feedAll(ResponseHeaders& head, const std::vector<std::string>& lines) {
    Step step = Step::more;
    for (const auto& line : lines)
        step = head.feed(line + "\r\n");
    return step;
}

TEST(ResponseHeaders, AssemblesTheFinalHeadAfterInterimOnes) {
    ResponseHeaders head;
    EXPECT_EQ(feedAll(head, {"HTTP/1.1 100 Continue", "X-Interim: yes", ""}), Step::more);
    EXPECT_EQ(head.status(), 100);
    EXPECT_EQ(feedAll(head, {"HTTP/1.1 200 OK", "ETag:  \"abc\"  ", "x-amz-meta-tag: one",
                             "X-Amz-Meta-Tag: two", "X-Folded: first", " second part", "\tthird",
                             "no colon here", "Empty:"}),
              Step::more);
    EXPECT_FALSE(head.complete());
    EXPECT_EQ(head.feed("\r\n"), Step::complete);
    EXPECT_EQ(head.status(), 200);
    EXPECT_EQ(head.headers(), (HeaderMap{{"ETag", "\"abc\""},
                                         {"x-amz-meta-tag", "one, two"},
                                         {"X-Folded", "first second part third"},
                                         {"Empty", ""}}));
    // Trailers join the map without announcing a second head.
    EXPECT_EQ(feedAll(head, {"X-Trailer: t", ""}), Step::more);
    EXPECT_EQ(head.takeHeaders().at("x-trailer"), "t");
}

TEST(ResponseHeaders, StatusLinesOutsideHttpXyNnnAreRefusedForGood) {
    for (const auto& [line, status] : std::vector<std::pair<std::string, int>>{
             {"HTTP/1.0 503 Slow Down", 503}, {"HTTP/1.1 301 ", 301}, {"HTTP/2 201", 201}}) {
        ResponseHeaders head;
        EXPECT_EQ(head.feed(line + "\r\n"), Step::more) << line;
        EXPECT_EQ(head.status(), status) << line;
    }
    for (const std::string line :
         {"HTTP/1.1 20", "HTTP/1.1 2000 OK", "HTTP/1.1 600 Nope", "HTTP/1.1 099 Low",
          "HTTP/1.1 2x0", "HTTP/1.1200 OK", "HTTP/ 200 OK", "HTTP/1. 200 OK", "HTTP/1.1  200",
          "HTTP/x.1 200 OK", "HTTP/1.1", "ETag: x", "", "ICY 200 OK"}) {
        ResponseHeaders head;
        EXPECT_EQ(head.feed(line + "\r\n"), Step::refused) << line;
        EXPECT_EQ(head.refusal(), Refusal::malformed) << line;
        EXPECT_EQ(head.status(), 0) << line;
        EXPECT_EQ(feedAll(head, {"HTTP/1.1 200 OK", ""}), Step::refused) << line;
    }
}

TEST(ResponseHeaders, LinesSizeAndFieldCountAreBounded) {
    auto lineOf = [](std::size_t size) { return "X: " + std::string(size - 5, 'a') + "\r\n"; };
    // Each case: how many lines after the status line fit, then one more that does not.
    const std::vector<std::pair<std::function<std::string(std::size_t)>, std::size_t>> cases = {
        {[&](std::size_t i) { return lineOf(i == 0 ? kMaxLine : kMaxLine + 1); }, 1},
        {[&](std::size_t) { return lineOf(kMaxLine); },
         ResponseHeaders::kMaxTotalBytes / kMaxLine - 1},
        {[](std::size_t i) { return "X-N: " + std::to_string(i) + "\r\n"; },
         ResponseHeaders::kMaxFields},
    };
    for (const auto& [line, fitting] : cases) {
        ResponseHeaders head;
        ASSERT_EQ(head.feed("HTTP/1.1 200 OK\r\n"), Step::more);
        for (std::size_t i = 0; i < fitting; ++i)
            ASSERT_EQ(head.feed(line(i)), Step::more) << i;
        EXPECT_EQ(head.feed(line(fitting)), Step::refused);
        EXPECT_EQ(head.refusal(), Refusal::tooLarge);
        EXPECT_FALSE(head.problem().empty());
    }
    // Endless interim answers count too: each one is small, but together they are not.
    ResponseHeaders head;
    std::size_t heads = 0;
    while (feedAll(head, {"HTTP/1.1 100 Continue", ""}) == Step::more)
        ASSERT_LT(++heads, ResponseHeaders::kMaxTotalBytes);
    EXPECT_EQ(head.refusal(), Refusal::tooLarge);
}

}  // namespace
}  // namespace quilo::detail

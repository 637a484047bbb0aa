#include "requestlib/ResponseHeaders.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "quilo/requestlib/HTTPRequest.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"

namespace quilo::detail {
namespace {

using Step = ResponseHeaders::Step;
using Refusal = ResponseHeaders::Refusal;

// Feeds each line with its CR LF, as curl hands them over; returns the last step.
Step feedAll(ResponseHeaders& head, const std::vector<std::string>& lines) {
    Step step = Step::more;
    for (const auto& line : lines)
        step = head.feed(line + "\r\n");
    return step;
}

TEST(ResponseHeaders, AssemblesTheFinalHead) {
    ResponseHeaders head;
    EXPECT_EQ(feedAll(head, {"HTTP/1.1 200 OK", "ETag:  \"abc\"  ", "x-amz-meta-tag: one",
                             "X-Amz-Meta-Tag: two", "X-Folded: first", " second part", "\tthird",
                             "no colon here", "Empty:"}),
              Step::more);
    EXPECT_EQ(head.status(), 200);
    EXPECT_FALSE(head.complete());
    EXPECT_EQ(head.feed("\r\n"), Step::complete);
    EXPECT_TRUE(head.complete());

    const HeaderMap& headers = head.headers();
    EXPECT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers.at("etag"), "\"abc\"");
    EXPECT_EQ(headers.at("x-amz-meta-tag"), "one, two");
    EXPECT_EQ(headers.at("x-folded"), "first second part third");
    EXPECT_EQ(headers.at("Empty"), "");

    // Trailers join the map without announcing a second head.
    EXPECT_EQ(head.feed("X-Trailer: t\r\n"), Step::more);
    EXPECT_EQ(head.feed("\r\n"), Step::more);
    EXPECT_EQ(head.headers().at("x-trailer"), "t");
}

TEST(ResponseHeaders, AnInterimAnswerIsForgottenWhenTheFinalOneBegins) {
    ResponseHeaders head;
    EXPECT_EQ(feedAll(head, {"HTTP/1.1 100 Continue", "X-Interim: yes", ""}), Step::more);
    EXPECT_EQ(head.status(), 100);
    EXPECT_FALSE(head.complete());
    EXPECT_EQ(feedAll(head, {"HTTP/1.1 404 Not Found", "Content-Length: 0", ""}), Step::complete);
    EXPECT_EQ(head.status(), 404);
    EXPECT_FALSE(head.headers().contains("X-Interim"));
    EXPECT_EQ(head.takeHeaders().at("content-length"), "0");
}

TEST(ResponseHeaders, StatusLinesOutsideHttpXyNnnAreRefused) {
    const std::vector<std::pair<std::string, int>> accepted = {
        {"HTTP/1.1 200 OK", 200}, {"HTTP/1.0 503 Slow Down", 503},
        {"HTTP/1.1 204", 204},    {"HTTP/1.1 301 ", 301},
        {"HTTP/2 201", 201},
    };
    for (const auto& [line, status] : accepted) {
        ResponseHeaders head;
        EXPECT_EQ(head.feed(line + "\r\n"), Step::more) << line;
        EXPECT_EQ(head.status(), status) << line;
    }
    const std::vector<std::string> refused = {
        "HTTP/1.1 20",   "HTTP/1.1 2000 OK", "HTTP/1.1 600 Nope", "HTTP/1.1 099 Low",
        "HTTP/1.1 2x0",  "HTTP/1.1200 OK",   "HTTP/ 200 OK",      "HTTP/1. 200 OK",
        "HTTP/1.1  200", "HTTP/x.1 200 OK",  "HTTP/1.1",
    };
    for (const auto& line : refused) {
        ResponseHeaders head;
        EXPECT_EQ(head.feed(line + "\r\n"), Step::refused) << line;
        EXPECT_EQ(head.refusal(), Refusal::malformed) << line;
        EXPECT_EQ(head.status(), 0) << line;
        // Refused for good: a valid head afterwards changes nothing.
        EXPECT_EQ(feedAll(head, {"HTTP/1.1 200 OK", ""}), Step::refused) << line;
        EXPECT_FALSE(head.complete());
    }
    for (const std::string first : {"ETag: x", "", "ICY 200 OK"}) {
        ResponseHeaders head;
        EXPECT_EQ(head.feed(first + "\r\n"), Step::refused) << first;
        EXPECT_EQ(head.refusal(), Refusal::malformed) << first;
    }
}

TEST(ResponseHeaders, LinesSizeAndFieldCountAreBounded) {
    auto lineOf = [](std::size_t size) {  // "X: aaa...\r\n", exactly `size` bytes
        return "X: " + std::string(size - 5, 'a') + "\r\n";
    };
    {
        ResponseHeaders head;
        ASSERT_EQ(head.feed("HTTP/1.1 200 OK\r\n"), Step::more);
        EXPECT_EQ(head.feed(lineOf(ResponseHeaders::kMaxLineBytes)), Step::more);
        EXPECT_EQ(head.feed(lineOf(ResponseHeaders::kMaxLineBytes + 1)), Step::refused);
        EXPECT_EQ(head.refusal(), Refusal::tooLarge);
        EXPECT_FALSE(head.problem().empty());
    }
    {
        // Lines of the largest size: 15 of them and the status line fit, the next does not.
        ResponseHeaders head;
        ASSERT_EQ(head.feed("HTTP/1.1 200 OK\r\n"), Step::more);
        const std::size_t fitting =
            ResponseHeaders::kMaxTotalBytes / ResponseHeaders::kMaxLineBytes;
        for (std::size_t i = 1; i < fitting; ++i)
            ASSERT_EQ(head.feed(lineOf(ResponseHeaders::kMaxLineBytes)), Step::more) << i;
        EXPECT_EQ(head.feed(lineOf(ResponseHeaders::kMaxLineBytes)), Step::refused);
        EXPECT_EQ(head.refusal(), Refusal::tooLarge);
    }
    {
        ResponseHeaders head;
        ASSERT_EQ(head.feed("HTTP/1.1 200 OK\r\n"), Step::more);
        for (std::size_t i = 0; i < ResponseHeaders::kMaxFields; ++i)
            ASSERT_EQ(head.feed("X-N: " + std::to_string(i) + "\r\n"), Step::more) << i;
        EXPECT_EQ(head.feed("X-N: one too many\r\n"), Step::refused);
        EXPECT_EQ(head.refusal(), Refusal::tooLarge);
    }
    {
        // Endless interim answers count too: each one is small, but together they are not.
        ResponseHeaders head;
        std::size_t heads = 0;
        while (feedAll(head, {"HTTP/1.1 100 Continue", ""}) == Step::more)
            ASSERT_LT(++heads, ResponseHeaders::kMaxTotalBytes);
        EXPECT_EQ(head.refusal(), Refusal::tooLarge);
    }
}

// The engine parses every answer through this class: what it refuses fails the request as a
// bad response, without a retry, and what it accepts reaches the request's headers.
TEST(ResponseHeadersInEngine, AHostileHeadFailsTheRequestAsABadResponse) {
    struct Case {
        const char* name;
        test::FaultAction action;
        const char* code;
    };
    test::FaultAction manyFields = test::FaultAction::reply(200, "body");
    for (std::size_t i = 0; i <= ResponseHeaders::kMaxFields; ++i)
        manyFields.headers.emplace_back("X-N" + std::to_string(i), "v");
    std::vector<Case> cases;
    cases.push_back(
        {"a 70 KiB header line",
         test::FaultAction::reply(200, "body").header("X-Big", std::string(70 << 10, 'b')),
         "ResponseTooLarge"});
    cases.push_back({"1001 header lines", manyFields, "ResponseTooLarge"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::FaultServer server([&](const test::ServedRequest&) { return c.action; });
        auto request = std::make_shared<HTTPRequest>(server.url("/hostile"));
        test::RequestWatch watch(*request);
        request->startAsynchronous();
        ASSERT_TRUE(watch.waitForEnd());
        EXPECT_EQ(watch.count(test::RequestWatch::failed), 1);
        EXPECT_EQ(watch.count(test::RequestWatch::finished), 0);
        ASSERT_TRUE(request->error());
        EXPECT_EQ(request->error()->kind, ErrorKind::response) << request->error()->description();
        EXPECT_EQ(request->error()->code, c.code);
        EXPECT_EQ(server.requestCount(), 1u);
    }

    // Within bounds, long, folded and repeated fields arrive whole.
    const std::string longValue =
        std::string(30000, 'a') + "X-Smuggled: yes" + std::string(30000, 'b');
    test::FaultServer server([&](const test::ServedRequest&) {
        return test::FaultAction::reply(200, "body")
            .header("X-Twice", "one")
            .header("X-Twice", "two")
            .header("X-Folded", "first\r\n  second")
            .header("X-Long", longValue);
    });
    auto request = std::make_shared<HTTPRequest>(server.url("/fine"));
    test::RequestWatch watch(*request);
    request->startAsynchronous();
    ASSERT_TRUE(watch.waitForEnd());
    ASSERT_EQ(watch.count(test::RequestWatch::finished), 1)
        << (request->error() ? request->error()->description() : "");
    EXPECT_EQ(request->responseHeaders().at("x-twice"), "one, two");
    EXPECT_EQ(request->responseHeaders().at("x-folded"), "first second");
    EXPECT_TRUE(request->responseHeaders().at("x-long") == longValue);  // too long to print
    EXPECT_FALSE(request->responseHeaders().contains("x-smuggled"));
    EXPECT_EQ(request->responseData(), "body");
}

}  // namespace
}  // namespace quilo::detail

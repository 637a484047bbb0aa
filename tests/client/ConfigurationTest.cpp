#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/RecordingTransport.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using test::Event;

ValueMap keys(std::optional<Value> accessKey, std::optional<Value> secretKey,
              std::optional<Value> useSSL, std::optional<Value> limit) {
    return {{"accessKey", std::move(accessKey)},
            {"secretKey", std::move(secretKey)},
            {"useSSL", std::move(useSSL)},
            {"maxConcurrentOperationCount", std::move(limit)}};
}

// A limit no test configures, to see whether configuration touched the queue.
constexpr int untouched = 17;
const std::optional<std::string> none;

// What configuring a request applies.
struct Applied {
    std::optional<std::string> accessKey, secretKey;
    std::string scheme;
    int limit;
    bool operator==(const Applied&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Applied& a) {
        return out << a.accessKey.value_or("-") << " " << a.secretKey.value_or("-") << " "
                   << a.scheme << " " << a.limit;
    }
};

Applied applied(Quilo& client) {
    auto request = std::make_shared<S3Request>();
    request->setRequestScheme(S3RequestSchemeHTTPS);  // configuration must always set it
    client.configureRequest(request);
    return {request->accessKey(), request->secretAccessKey(), request->requestScheme(),
            HTTPRequest::sharedQueue().maxConcurrentOperationCount()};
}

class Configuration : public ::testing::Test {
  protected:
    void SetUp() override { HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(untouched); }

    // Lists buckets with `client`, which must fail once with a configuration error, unsent and
    // with nothing applied, not even the valid keys before a mistyped one; its message.
    std::string failedConfiguration(Quilo& client) {
        test::TransportGuard transport;
        test::Outcome<QuiloServiceRequest> outcome;
        client.listBuckets(outcome.callbacks());
        EXPECT_TRUE(outcome.waitForEnd()) << outcome.summary();
        EXPECT_EQ(transport->performed().size(), 0u);
        if (outcome.calls().size() != 1 || outcome.count(Event::failed) != 1)
            return outcome.summary();
        const auto& request = *outcome.request();
        EXPECT_EQ(request.error()->kind, ErrorKind::configuration);
        EXPECT_EQ((Applied{request.accessKey(), request.secretAccessKey(), request.requestScheme(),
                           HTTPRequest::sharedQueue().maxConcurrentOperationCount()}),
                  (Applied{none, none, "http", untouched}));
        return request.error()->message;
    }

    test::SharedStateGuard restore_;
    std::shared_ptr<Quilo> shared_ = Quilo::sharedInstance();
};

// Omitted arguments are written too, with their defaults; keys it does not write stay.
TEST_F(Configuration, GlobalConfigWritesAllFourKeysAndKeepsOthers) {
    shared_->globleConfig().reset();
    Quilo::GlobalConfig("AK");
    EXPECT_EQ(shared_->globleConfig(),
              keys(Value("AK"), std::nullopt, Value(false), Value(std::int64_t{3})));

    shared_->globleConfig() = ValueMap{{"region", Value("eu-west-3")}};
    Quilo::GlobalConfig("AK", "SK", true, 7);
    Quilo::GlobalConfig(std::nullopt, std::nullopt, true);
    ValueMap expected = keys(std::nullopt, std::nullopt, Value(true), Value(std::int64_t{3}));
    expected["region"] = Value("eu-west-3");
    EXPECT_EQ(shared_->globleConfig(), expected);
}

// A client's own config() wins over globleConfig() as a whole: a key it lacks is not borrowed.
TEST_F(Configuration, TheActiveMapIsChosenAsAWhole) {
    shared_->globleConfig() = keys(Value("gAK"), Value("gSK"), Value(true), Value(std::int64_t{9}));
    Quilo withoutConfig, withConfig, withKeys("AK", "SK");
    EXPECT_EQ(applied(withoutConfig), (Applied{"gAK", "gSK", "https", 9}));
    EXPECT_EQ(applied(withKeys), (Applied{"AK", "SK", "http", 3}));
    withConfig.config() = ValueMap{{"accessKey", Value("ownAK")}};
    EXPECT_EQ(applied(withConfig), (Applied{"ownAK", none, "http", 3}));
    shared_->config() = ValueMap{{"secretKey", Value("sharedSK")}};
    EXPECT_EQ(applied(*shared_), (Applied{none, "sharedSK", "http", 3}));
    EXPECT_EQ(applied(withoutConfig), (Applied{"gAK", "gSK", "https", 9}));
}

TEST_F(Configuration, AbsentKeysAndValuesApplyNothingButTheScheme) {
    Quilo client(std::nullopt, std::nullopt, true, 10);  // no key: no map of its own
    for (const auto& global : {ValueMap{}, keys(none, none, std::nullopt, std::nullopt)}) {
        shared_->globleConfig() = global;
        EXPECT_EQ(applied(client), (Applied{none, none, "http", untouched}));
    }
    shared_->globleConfig().reset();
    EXPECT_NE(failedConfiguration(client).find("no configuration map"), std::string::npos);
}

// Process-wide: the last request configured sets it, from an int32 or an int64, as it is.
TEST_F(Configuration, TheLastConfiguredRequestSetsTheQueueLimit) {
    Quilo two(none, "SK", false, 2), eight(none, "SK", false, 8), narrow;
    narrow.config() = ValueMap{{"maxConcurrentOperationCount", Value(std::int32_t{5})}};
    EXPECT_EQ(applied(two).limit, 2);
    EXPECT_EQ(applied(eight).limit, 8);
    EXPECT_EQ(applied(narrow).limit, 5);
    EXPECT_EQ(applied(two).limit, 2);
    Quilo zero(none, "SK", false, 0);  // passed on: the queue makes it its default
    EXPECT_EQ(applied(zero).limit, HTTPRequestQueue::defaultMaxConcurrentOperationCount);
}

TEST_F(Configuration, AMistypedValueFailsTheRequestNamingTheKey) {
    const struct {
        ValueMap config;
        const char* key;
        const char* found;
    } cases[] = {
        {{{"accessKey", Value(std::int32_t{5})}}, "accessKey", "int32"},
        {{{"accessKey", Value("AK")}, {"secretKey", Value(true)}}, "secretKey", "bool"},
        {{{"accessKey", Value("AK")}, {"secretKey", Value("SK")}, {"sessionToken", Value(1.0)}},
         "sessionToken",
         "double"},
        {keys(Value("AK"), Value("SK"), Value("true"), Value(std::int64_t{2})), "useSSL", "string"},
        {keys(Value("AK"), none, Value(true), Value(3.0)), "maxConcurrentOperationCount", "double"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        Quilo client;
        client.config() = c.config;
        const std::string message = failedConfiguration(client);
        EXPECT_NE(message.find('"' + std::string(c.key) + '"'), std::string::npos) << message;
        EXPECT_NE(message.find(c.found), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace quilo

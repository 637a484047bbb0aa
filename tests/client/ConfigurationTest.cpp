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
constexpr int untouchedLimit = 17;

// What configuring a request with `client` applies: "<access key> <secret key> <scheme> <queue
// limit>", with "-" for a key not set.
std::string applied(Quilo& client) {
    auto request = std::make_shared<S3Request>();
    request->setRequestScheme(S3RequestSchemeHTTPS);  // configuration must always set it
    client.configureRequest(request);
    return request->accessKey().value_or("-") + " " + request->secretAccessKey().value_or("-") +
           " " + request->requestScheme() + " " +
           std::to_string(HTTPRequest::sharedQueue().maxConcurrentOperationCount());
}

class Configuration : public ::testing::Test {
  protected:
    void SetUp() override {
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(untouchedLimit);
    }

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
        EXPECT_EQ(request.error()->code, "InvalidConfiguration");
        EXPECT_FALSE(request.accessKey() || request.secretAccessKey());
        EXPECT_EQ(request.requestScheme(), S3RequestSchemeHTTP);
        EXPECT_EQ(HTTPRequest::sharedQueue().maxConcurrentOperationCount(), untouchedLimit);
        return request.error()->message;
    }

    test::SharedStateGuard restore_;
    std::shared_ptr<Quilo> shared_ = Quilo::sharedInstance();
};

TEST_F(Configuration, GlobalConfigOverwritesAllFourKeysAndKeepsOthers) {
    shared_->globleConfig().reset();
    Quilo::GlobalConfig("AK");
    EXPECT_EQ(shared_->globleConfig(),
              keys(Value("AK"), std::nullopt, Value(false), Value(std::int64_t{3})))
        << "a map is put in place when there is none";
    Quilo client;
    EXPECT_EQ(applied(client), "AK - http 3");

    shared_->globleConfig() = ValueMap{{"region", Value("eu-west-3")}};
    Quilo::GlobalConfig("AK", "SK", true, 7);
    ValueMap expected = keys(Value("AK"), Value("SK"), Value(true), Value(std::int64_t{7}));
    expected["region"] = Value("eu-west-3");
    EXPECT_EQ(shared_->globleConfig(), expected);
    // Omitted arguments overwrite too: the keys of the call before do not survive.
    Quilo::GlobalConfig(std::nullopt, std::nullopt, true);
    expected = keys(std::nullopt, std::nullopt, Value(true), Value(std::int64_t{3}));
    expected["region"] = Value("eu-west-3");
    EXPECT_EQ(shared_->globleConfig(), expected);
}

TEST_F(Configuration, AbsentKeysAndValuesApplyNothingButTheScheme) {
    Quilo client(std::nullopt, std::nullopt, true, 10);  // no key: no map of its own
    const ValueMap wrongCase = {{"AccessKey", Value("AK")},
                                {"secretkey", Value("SK")},
                                {"UseSSL", Value(true)},
                                {"maxConcurrentOperationcount", Value(std::int64_t{2})}};
    for (const auto& global :
         {ValueMap{}, keys(std::nullopt, std::nullopt, std::nullopt, std::nullopt), wrongCase}) {
        shared_->globleConfig() = global;
        EXPECT_EQ(applied(client), "- - http 17");
    }
    // No map at all is a configuration error, unless the client has a map of its own.
    shared_->globleConfig().reset();
    EXPECT_NE(failedConfiguration(client).find("no configuration map"), std::string::npos);
    Quilo withKeys("AK", "SK");
    EXPECT_EQ(applied(withKeys), "AK SK http 3");
}

TEST_F(Configuration, KeysComeFromTheActiveMapAsAWhole) {
    shared_->globleConfig() =
        keys(Value("globalAK"), Value("globalSK"), Value(true), Value(std::int64_t{9}));
    Quilo withoutConfig, withConfig;
    EXPECT_EQ(applied(withoutConfig), "globalAK globalSK https 9");
    // A config lacking keys does not borrow them from globleConfig.
    HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(untouchedLimit);
    withConfig.config() = ValueMap{{"accessKey", Value("ownAK")}};
    EXPECT_EQ(applied(withConfig), "ownAK - http 17");
    // The shared client's own config is chosen for its requests only.
    shared_->config() = ValueMap{{"accessKey", Value("sharedOwnAK")}};
    EXPECT_EQ(applied(*shared_), "sharedOwnAK - http 17");
    EXPECT_EQ(applied(withoutConfig), "globalAK globalSK https 9");

    Quilo withKeys("initAK", "initSK");
    Quilo::GlobalConfig("laterAK", "laterSK");
    EXPECT_EQ(applied(withKeys), "initAK initSK http 3");
    EXPECT_EQ(applied(withoutConfig), "laterAK laterSK http 3");
}

TEST_F(Configuration, TheMostRecentlyConfiguredRequestSetsTheQueueLimit) {
    Quilo two(std::nullopt, "SK", false, 2), eight(std::nullopt, "SK", false, 8), narrow;
    EXPECT_EQ(applied(two), "- SK http 2");
    EXPECT_EQ(applied(eight), "- SK http 8");
    EXPECT_EQ(applied(two), "- SK http 2");
    narrow.config() = ValueMap{{"maxConcurrentOperationCount", Value(std::int32_t{5})}};
    EXPECT_EQ(applied(narrow), "- - http 5") << "an int32 limit is accepted too";
    // Passed on as it is: the queue turns a limit below 1 into its default.
    for (std::int64_t belowOne : {0, -1}) {
        Quilo odd(std::nullopt, "SK", false, belowOne);
        EXPECT_EQ(
            applied(odd),
            "- SK http " + std::to_string(HTTPRequestQueue::defaultMaxConcurrentOperationCount));
        applied(two);
    }
}

TEST_F(Configuration, AMistypedValueFailsTheRequestNamingTheKey) {
    const struct {
        ValueMap config;
        const char* key;
        const char* found;
    } cases[] = {
        {{{"accessKey", Value(std::int32_t{5})}}, "accessKey", "int32"},
        {{{"accessKey", Value("AK")}, {"secretKey", Value(true)}}, "secretKey", "bool"},
        {keys(Value("AK"), Value("SK"), Value("true"), Value(std::int64_t{2})), "useSSL", "string"},
        {keys(Value("AK"), std::nullopt, Value(true), Value("3")), "maxConcurrentOperationCount",
         "string"},
        {{{"maxConcurrentOperationCount", Value(3.0)}}, "maxConcurrentOperationCount", "double"},
    };
    for (const auto& c : cases) {
        Quilo client;
        client.config() = c.config;
        const std::string message = failedConfiguration(client);
        EXPECT_NE(message.find('"' + std::string(c.key) + '"'), std::string::npos) << message;
        EXPECT_NE(message.find(c.found), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace quilo

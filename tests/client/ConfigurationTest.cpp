#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/RecordingTransport.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using test::Event;
using test::Outcome;

// The configuration keys, as a test writes them.
ValueMap keys(std::optional<Value> accessKey, std::optional<Value> secretKey,
              std::optional<Value> useSSL, std::optional<Value> limit) {
    return {{"accessKey", std::move(accessKey)},
            {"secretKey", std::move(secretKey)},
            {"useSSL", std::move(useSSL)},
            {"maxConcurrentOperationCount", std::move(limit)}};
}

std::shared_ptr<S3Request> configuredBy(Quilo& client) {
    auto request = std::make_shared<S3Request>();
    client.configureRequest(request);
    return request;
}

int queueLimit() {
    return HTTPRequest::sharedQueue().maxConcurrentOperationCount();
}

// A limit no test configures, to see whether configuration touched the queue.
constexpr int untouchedLimit = 17;

class Configuration : public ::testing::Test {
  protected:
    void SetUp() override {
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(untouchedLimit);
    }

    test::SharedStateGuard restore_;
    std::shared_ptr<Quilo> shared_ = Quilo::sharedInstance();
};

TEST_F(Configuration, InitialiserKeepsKeysOnlyWithAnAccessOrSecretKey) {
    Quilo plain;
    EXPECT_FALSE(plain.config());
    ASSERT_TRUE(plain.globleConfig());
    EXPECT_TRUE(plain.globleConfig()->empty());

    Quilo withoutKeys(std::nullopt, std::nullopt, true, 10);
    EXPECT_FALSE(withoutKeys.config()) << "useSSL and the limit alone are not kept";

    Quilo accessOnly("AK");
    ASSERT_TRUE(accessOnly.config());
    EXPECT_EQ(*accessOnly.config(),
              keys(Value("AK"), std::nullopt, Value(false), Value(std::int64_t{3})));

    Quilo secretOnly(std::nullopt, "SK", std::nullopt, std::nullopt);
    ASSERT_TRUE(secretOnly.config());
    EXPECT_EQ(*secretOnly.config(), keys(std::nullopt, Value("SK"), std::nullopt, std::nullopt));
}

TEST_F(Configuration, GlobalConfigWritesAllFourKeysAndKeepsOthers) {
    EXPECT_EQ(Quilo::sharedInstance(), shared_);
    shared_->globleConfig() = ValueMap{{"region", Value("eu-west-3")}};

    Quilo::GlobalConfig("AK", "SK", true, 7);
    ValueMap expected = keys(Value("AK"), Value("SK"), Value(true), Value(std::int64_t{7}));
    expected["region"] = Value("eu-west-3");
    EXPECT_EQ(*shared_->globleConfig(), expected);

    // Omitted arguments overwrite too: the keys of the first call do not survive.
    Quilo::GlobalConfig(std::nullopt, std::nullopt, true);
    expected = keys(std::nullopt, std::nullopt, Value(true), Value(std::int64_t{3}));
    expected["region"] = Value("eu-west-3");
    EXPECT_EQ(*shared_->globleConfig(), expected);
}

TEST_F(Configuration, GlobalConfigPutsAMapInPlaceWhenThereIsNone) {
    shared_->globleConfig().reset();
    Quilo::GlobalConfig("AK");
    ASSERT_TRUE(shared_->globleConfig());
    EXPECT_EQ(*shared_->globleConfig(),
              keys(Value("AK"), std::nullopt, Value(false), Value(std::int64_t{3})));

    auto request = configuredBy(*std::make_shared<Quilo>());
    EXPECT_EQ(request->accessKey(), "AK");
    EXPECT_FALSE(request->secretAccessKey());
    EXPECT_EQ(queueLimit(), 3);
}

TEST_F(Configuration, AbsentMapKeyAndValueApplyNothingButTheScheme) {
    Quilo client;
    const std::vector<ValueMap> notHeldThenHeldWithoutValues = {
        ValueMap{}, keys(std::nullopt, std::nullopt, std::nullopt, std::nullopt)};
    for (const auto& global : notHeldThenHeldWithoutValues) {
        shared_->globleConfig() = global;
        auto request = std::make_shared<S3Request>();
        request->setRequestScheme(S3RequestSchemeHTTPS);
        client.configureRequest(request);
        EXPECT_FALSE(request->accessKey());
        EXPECT_FALSE(request->secretAccessKey());
        EXPECT_EQ(request->requestScheme(), S3RequestSchemeHTTP) << "the scheme is always set";
        EXPECT_EQ(queueLimit(), untouchedLimit);
    }
}

TEST_F(Configuration, KeysComeFromTheActiveMapAsAWhole) {
    shared_->globleConfig() =
        keys(Value("globalAK"), Value("globalSK"), Value(true), Value(std::int64_t{9}));

    Quilo withoutConfig;
    auto global = configuredBy(withoutConfig);
    EXPECT_EQ(global->accessKey(), "globalAK");
    EXPECT_EQ(global->secretAccessKey(), "globalSK");
    EXPECT_EQ(global->requestScheme(), S3RequestSchemeHTTPS);
    EXPECT_EQ(queueLimit(), 9);

    // A config lacking keys does not borrow them from globleConfig.
    HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(untouchedLimit);
    Quilo withConfig;
    withConfig.config() = ValueMap{{"accessKey", Value("ownAK")}};
    auto own = configuredBy(withConfig);
    EXPECT_EQ(own->accessKey(), "ownAK");
    EXPECT_FALSE(own->secretAccessKey());
    EXPECT_EQ(own->requestScheme(), S3RequestSchemeHTTP);
    EXPECT_EQ(queueLimit(), untouchedLimit);

    // The shared client's own config is the same choice, for its requests only.
    shared_->config() = ValueMap{{"accessKey", Value("sharedOwnAK")}};
    EXPECT_EQ(configuredBy(*shared_)->accessKey(), "sharedOwnAK");
    EXPECT_EQ(configuredBy(withoutConfig)->accessKey(), "globalAK");

    // An instance made with keys keeps them after GlobalConfig.
    Quilo withKeys("initAK", "initSK");
    Quilo::GlobalConfig("laterAK", "laterSK");
    EXPECT_EQ(configuredBy(withKeys)->accessKey(), "initAK");
    EXPECT_EQ(configuredBy(withoutConfig)->accessKey(), "laterAK");
}

TEST_F(Configuration, KeysDifferingInCaseAreIgnored) {
    Quilo client;
    client.config() = ValueMap{{"AccessKey", Value("AK")},
                               {"secretkey", Value("SK")},
                               {"UseSSL", Value(true)},
                               {"maxConcurrentOperationcount", Value(std::int64_t{2})}};
    auto request = configuredBy(client);
    EXPECT_FALSE(request->accessKey());
    EXPECT_FALSE(request->secretAccessKey());
    EXPECT_EQ(request->requestScheme(), S3RequestSchemeHTTP);
    EXPECT_EQ(queueLimit(), untouchedLimit);
}

TEST_F(Configuration, TheMostRecentlyConfiguredRequestSetsTheQueueLimit) {
    Quilo two(std::nullopt, "SK", false, 2);
    Quilo eight(std::nullopt, "SK", false, 8);
    configuredBy(two);
    configuredBy(eight);
    EXPECT_EQ(queueLimit(), 8);
    configuredBy(two);
    EXPECT_EQ(queueLimit(), 2);

    Quilo narrow;
    narrow.config() = ValueMap{{"maxConcurrentOperationCount", Value(std::int32_t{5})}};
    configuredBy(narrow);
    EXPECT_EQ(queueLimit(), 5) << "an int32 limit is accepted too";

    // Passed on as it is: the queue turns a limit below 1 into its default.
    for (std::int64_t belowOne : {0, -1}) {
        configuredBy(two);
        Quilo odd(std::nullopt, "SK", false, belowOne);
        configuredBy(odd);
        EXPECT_EQ(queueLimit(), HTTPRequestQueue::defaultMaxConcurrentOperationCount) << belowOne;
    }
}

struct Misconfiguration {
    const char* name;
    ValueMap config;
    const char* key;
    const char* found;
};

void PrintTo(const Misconfiguration& c, std::ostream* out) {
    *out << c.name;
}

class MistypedConfiguration : public Configuration,
                              public ::testing::WithParamInterface<Misconfiguration> {};

TEST_P(MistypedConfiguration, FailsOnceWithoutSendingOrApplyingAnything) {
    test::TransportGuard transport;
    Quilo client;
    client.config() = GetParam().config;
    Outcome<QuiloServiceRequest> outcome;
    client.listBuckets(outcome.callbacks());

    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::started), 0);
    EXPECT_EQ(outcome.count(Event::finished), 0);
    EXPECT_EQ(transport->performedCount(), 0u);

    auto request = outcome.request();
    ASSERT_TRUE(request && request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::configuration);
    EXPECT_EQ(request->error()->code, "InvalidConfiguration");
    const std::string& message = request->error()->message;
    EXPECT_NE(message.find(std::string("\"") + GetParam().key + "\""), std::string::npos)
        << message;
    EXPECT_NE(message.find(GetParam().found), std::string::npos) << message;
    // Nothing is half applied, not even the valid keys before the mistyped one.
    EXPECT_FALSE(request->accessKey());
    EXPECT_FALSE(request->secretAccessKey());
    EXPECT_EQ(request->requestScheme(), S3RequestSchemeHTTP);
    EXPECT_EQ(queueLimit(), untouchedLimit);
}

INSTANTIATE_TEST_SUITE_P(
    Configuration, MistypedConfiguration,
    ::testing::Values(
        Misconfiguration{
            "accessKeyInt", {{"accessKey", Value(std::int32_t{5})}}, "accessKey", "int32"},
        Misconfiguration{"secretKeyBool",
                         {{"accessKey", Value("AK")}, {"secretKey", Value(true)}},
                         "secretKey",
                         "bool"},
        Misconfiguration{"useSSLString",
                         {{"accessKey", Value("AK")},
                          {"secretKey", Value("SK")},
                          {"useSSL", Value("true")},
                          {"maxConcurrentOperationCount", Value(std::int64_t{2})}},
                         "useSSL",
                         "string"},
        Misconfiguration{"useSSLInt", {{"useSSL", Value(std::int32_t{1})}}, "useSSL", "int32"},
        Misconfiguration{"limitString",
                         {{"accessKey", Value("AK")},
                          {"useSSL", Value(true)},
                          {"maxConcurrentOperationCount", Value("3")}},
                         "maxConcurrentOperationCount",
                         "string"},
        Misconfiguration{"limitDouble",
                         {{"maxConcurrentOperationCount", Value(3.0)}},
                         "maxConcurrentOperationCount",
                         "double"},
        Misconfiguration{"limitBool",
                         {{"maxConcurrentOperationCount", Value(true)}},
                         "maxConcurrentOperationCount",
                         "bool"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Configuration, NoMapAtAllFailsOnceWithoutSending) {
    test::TransportGuard transport;
    shared_->config().reset();
    shared_->globleConfig().reset();
    Quilo client;
    Outcome<QuiloServiceRequest> outcome;
    client.listBuckets(outcome.callbacks());

    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::started), 0);
    EXPECT_EQ(transport->performedCount(), 0u);
    ASSERT_TRUE(outcome.request()->error());
    EXPECT_EQ(outcome.request()->error()->kind, ErrorKind::configuration);
    EXPECT_NE(outcome.request()->error()->message.find("no configuration map"), std::string::npos)
        << outcome.request()->error()->message;

    // A client with a map of its own does not need the shared one.
    Quilo withKeys("AK", "SK");
    Outcome<QuiloServiceRequest> sent;
    withKeys.listBuckets(sent.callbacks());
    ASSERT_TRUE(transport->waitForPerformed(1));
    EXPECT_EQ(transport->performedAs<QuiloServiceRequest>(0)->accessKey(), "AK");
}

}  // namespace
}  // namespace quilo

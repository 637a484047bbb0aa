#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/ObservedQuilo.hpp"
#include "support/Outcome.hpp"
#include "support/RecordingTransport.hpp"

namespace quilo {
namespace {

using test::Event;
using test::Outcome;

// The values of every request header called `name`, in the order they were added.
std::vector<std::string> header(const HTTPRequest& request, std::string_view name) {
    std::vector<std::string> values;
    for (const auto& [headerName, value] : request.requestHeaders()) {
        if (!CaseInsensitiveLess{}(headerName, name) && !CaseInsensitiveLess{}(name, headerName)) {
            values.push_back(value);
        }
    }
    return values;
}

using Strings = std::vector<std::string>;

// One operation called with no callables, and what the request it configured must look like.
struct OperationCase {
    const char* name;
    std::function<void(Quilo&)> call;
    std::function<void(const std::shared_ptr<S3Request>&)> check;
};

void PrintTo(const OperationCase& c, std::ostream* out) {
    *out << c.name;
}

template <class R>
std::shared_ptr<R> as(const std::shared_ptr<S3Request>& request) {
    auto typed = std::dynamic_pointer_cast<R>(request);
    EXPECT_TRUE(typed) << "the request is not of the operation's typed class";
    return typed;
}

class Operation : public ::testing::TestWithParam<OperationCase> {
  protected:
    test::TransportGuard transport_;
};

TEST_P(Operation, HandsItsKeysToTheFactoryAndSetsItsOptions) {
    test::ObservedQuilo client("AK", "SK");
    std::vector<std::shared_ptr<S3Request>> configured;
    client.beforeConfiguring = [&](const auto& request) { configured.push_back(request); };
    GetParam().call(client);

    ASSERT_EQ(configured.size(), 1u);
    EXPECT_NE(configured[0]->state(), HTTPRequest::State::ready) << "never started";
    EXPECT_EQ(configured[0]->accessKey(), "AK") << "never configured";
    GetParam().check(configured[0]);
}

const AclMap publicRead{{"READ", {"uri=http://acs.amazonaws.com/groups/global/AllUsers"}},
                        {"WRITE_ACP", {}}};

INSTANTIATE_TEST_SUITE_P(
    Operations, Operation,
    ::testing::Values(
        OperationCase{"listBuckets", [](Quilo& client) { client.listBuckets(); },
                      [](const auto& request) {
                          ASSERT_TRUE(as<QuiloServiceRequest>(request));
                          EXPECT_FALSE(request->bucket());
                      }},
        OperationCase{"createBucket", [](Quilo& client) { client.createBucket("Photos 2024 "); },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::create);
                          EXPECT_EQ(bucket->bucket(), "Photos 2024 ");
                          EXPECT_TRUE(bucket->requestHeaders().empty());
                      }},
        OperationCase{"deleteBucket", [](Quilo& client) { client.deleteBucket("old"); },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::remove);
                          EXPECT_EQ(bucket->bucket(), "old");
                      }},
        OperationCase{"getBucketAclOfEmptyName", [](Quilo& client) { client.getBucketAcl(""); },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::getAcl);
                          EXPECT_EQ(bucket->bucket(), "");
                      }},
        OperationCase{"getBucketMeta", [](Quilo& client) { client.getBucketMeta("b"); },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::head);
                          EXPECT_EQ(bucket->bucket(), "b");
                      }},
        OperationCase{"setBucketAcl",
                      [](Quilo& client) {
                          client.setBucketAcl(
                              {{"acl", publicRead}, {"bucket", "b"}, {"key", std::int32_t{5}}});
                      },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::setAcl);
                          EXPECT_EQ(bucket->bucket(), "b");
                          ASSERT_EQ(header(*bucket, "x-amz-grant-read").size(), 1u);
                          EXPECT_NE(header(*bucket, "x-amz-grant-read")[0].find("AllUsers"),
                                    std::string::npos);
                          EXPECT_EQ(header(*bucket, "x-amz-grant-write-acp"), Strings{""});
                      }},
        OperationCase{"setBucketAclEmpty",
                      [](Quilo& client) {
                          client.setBucketAcl({{"acl", AclMap{}}, {"bucket", "b"}});
                      },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::setAcl);
                          EXPECT_TRUE(bucket->requestHeaders().empty());
                      }},
        OperationCase{"listObjects",
                      [](Quilo& client) {
                          client.listObjects({{"bucket", "b"},
                                              {"maxKeys", std::int32_t{-5}},
                                              {"prefix", ""},
                                              {"delimiter", "/"},
                                              {"marker", "photos/9"},
                                              {"max-keys", "ignored"}});
                      },
                      [](const auto& request) {
                          auto bucket = as<QuiloBucketRequest>(request);
                          ASSERT_TRUE(bucket);
                          EXPECT_EQ(bucket->operation(), S3BucketRequest::Operation::list);
                          EXPECT_EQ(bucket->bucket(), "b");
                          EXPECT_EQ(bucket->maxResultCount(), -5);
                          EXPECT_EQ(bucket->prefix(), "");
                          EXPECT_EQ(bucket->delimiter(), "/");
                          EXPECT_EQ(bucket->marker(), "photos/9");
                      }},
        OperationCase{"uploadObject",
                      [](Quilo& client) {
                          client.uploadObject({{"filePath", "/tmp/photo.jpg"},
                                               {"bucket", "b"},
                                               {"key", "k"},
                                               {"accessPolicy", "public-read"},
                                               {"downloadDestinationPath", "/tmp/x"}});
                      },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::putFile);
                          EXPECT_EQ(object->uploadFilePath(), "/tmp/photo.jpg");
                          EXPECT_EQ(object->bucket(), "b");
                          EXPECT_EQ(object->key(), "k");
                          EXPECT_EQ(object->accessPolicy(), "public-read");
                          EXPECT_EQ(object->timeOutSeconds(), 60.0);
                          EXPECT_EQ(header(*object, "Expect"), Strings{"100-continue"});
                          EXPECT_TRUE(object->showAccurateProgress());
                          EXPECT_FALSE(object->downloadDestinationPath());
                      }},
        OperationCase{"downloadObject",
                      [](Quilo& client) {
                          client.downloadObject({{"bucket", "b"},
                                                 {"key", "dir/k"},
                                                 {"downloadDestinationPath", "/tmp/k"},
                                                 {"accessPolicy", "public-read"}});
                      },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::get);
                          EXPECT_EQ(object->bucket(), "b");
                          EXPECT_EQ(object->key(), "dir/k");
                          EXPECT_EQ(object->downloadDestinationPath(), "/tmp/k");
                          EXPECT_TRUE(object->showAccurateProgress());
                          EXPECT_TRUE(object->requestHeaders().empty());
                          EXPECT_FALSE(object->accessPolicy());
                      }},
        OperationCase{"copyObject",
                      [](Quilo& client) {
                          client.copyObject({{"desKey", "dk"},
                                             {"desBucket", "db"},
                                             {"srcKey", "sk"},
                                             {"srcBucket", "sb"},
                                             {"bucket", "ignored"},
                                             {"key", "ignored"}});
                      },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::copy);
                          EXPECT_EQ(object->bucket(), "db");
                          EXPECT_EQ(object->key(), "dk");
                          EXPECT_EQ(header(*object, "x-amz-copy-source"), Strings{"/sb/sk"});
                      }},
        OperationCase{
            "deleteObject",
            [](Quilo& client) {
                client.deleteObject({{"bucket", "b"}, {"key", "k"}, {"srcBucket", "ignored"}});
            },
            [](const auto& request) {
                auto object = as<QuiloObjectRquest>(request);
                ASSERT_TRUE(object);
                EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::remove);
                EXPECT_EQ(object->bucket(), "b");
                EXPECT_EQ(object->key(), "k");
            }},
        OperationCase{"getObjectAclOfNothing", [](Quilo& client) { client.getObjectAcl({}); },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::getAcl);
                          EXPECT_FALSE(object->bucket());
                          EXPECT_FALSE(object->key());
                      }},
        OperationCase{"getObjectMetaWithoutKey",
                      [](Quilo& client) {
                          client.getObjectMeta({{"bucket", ""}});
                      },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::head);
                          EXPECT_EQ(object->bucket(), "");
                          EXPECT_FALSE(object->key());
                      }},
        OperationCase{"setObjectAcl",
                      [](Quilo& client) {
                          client.setObjectAcl({{"key", "k"},
                                               {"bucket", "b"},
                                               {"acl", AclMap{{"FULL_CONTROL", {"id=owner-1"}}}}});
                      },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::setAcl);
                          EXPECT_EQ(object->bucket(), "b");
                          EXPECT_EQ(object->key(), "k");
                          const auto grants = header(*object, "x-amz-grant-full-control");
                          ASSERT_EQ(grants.size(), 1u);
                          EXPECT_NE(grants[0].find("owner-1"), std::string::npos);
                      }},
        OperationCase{"setObjectMeta",
                      [](Quilo& client) {
                          client.setObjectMeta({{"meta", StringMap{{"color", "blue"}}},
                                                {"bucket", "b"},
                                                {"key", "k"},
                                                {"acl", AclMap{}}});
                      },
                      [](const auto& request) {
                          auto object = as<QuiloObjectRquest>(request);
                          ASSERT_TRUE(object);
                          EXPECT_EQ(object->operation(), S3ObjectRequest::Operation::setMeta);
                          EXPECT_EQ(object->bucket(), "b");
                          EXPECT_EQ(object->key(), "k");
                          EXPECT_EQ(header(*object, "x-amz-meta-color"), Strings{"blue"});
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ListObjects, SetsItsListingOptionsBeforeConfiguration) {
    test::TransportGuard transport;
    test::ObservedQuilo client("AK", "SK");
    std::optional<std::int32_t> maxKeysSeen;
    std::string markerSeen;
    client.beforeConfiguring = [&](const auto& request) {
        auto listing = std::dynamic_pointer_cast<QuiloBucketRequest>(request);
        ASSERT_TRUE(listing);
        maxKeysSeen = listing->maxResultCount();
        markerSeen = listing->marker();
    };
    client.listObjects({{"bucket", "b"},
                        {"maxKeys", std::int32_t{0}},
                        {"prefix", "p"},
                        {"delimiter", ""},
                        {"marker", "m"}});
    EXPECT_EQ(maxKeysSeen, 0);
    EXPECT_EQ(markerSeen, "m");
}

// A parameter map that cannot be sent as it is.
struct MisuseCase {
    const char* name;
    bool onObject;  // which of the two callback sets the operation takes
    std::function<void(Quilo&, const Callbacks<QuiloBucketRequest>&,
                       const Callbacks<QuiloObjectRquest>&)>
        call;
    const char* message;
};

void PrintTo(const MisuseCase& c, std::ostream* out) {
    *out << c.name;
}

ValueMap listing() {
    return {{"bucket", "b"},
            {"maxKeys", std::int32_t{100}},
            {"prefix", "p"},
            {"delimiter", "/"},
            {"marker", ""}};
}

ValueMap changed(ValueMap map, const std::string& key, std::optional<Value> value) {
    map[key] = std::move(value);
    return map;
}

ValueMap without(ValueMap map, const std::string& key) {
    map.erase(key);
    return map;
}

const ValueMap objectAcl{{"acl", AclMap{}}, {"bucket", "b"}, {"key", "k"}};
const ValueMap objectMeta{{"meta", StringMap{}}, {"bucket", "b"}, {"key", "k"}};

MisuseCase listObjects(const char* name, ValueMap param, const char* message) {
    return {name, false,
            [param](Quilo& client, const auto& bucket, const auto&) {
                client.listObjects(param, bucket);
            },
            message};
}
MisuseCase setBucketAcl(const char* name, ValueMap param, const char* message) {
    return {name, false,
            [param](Quilo& client, const auto& bucket, const auto&) {
                client.setBucketAcl(param, bucket);
            },
            message};
}
MisuseCase setObjectAcl(const char* name, ValueMap param, const char* message) {
    return {name, true,
            [param](Quilo& client, const auto&, const auto& object) {
                client.setObjectAcl(param, object);
            },
            message};
}
MisuseCase setObjectMeta(const char* name, ValueMap param, const char* message) {
    return {name, true,
            [param](Quilo& client, const auto&, const auto& object) {
                client.setObjectMeta(param, object);
            },
            message};
}

template <class R>
void expectFailedAlone(const Outcome<R>& outcome, const std::string& message) {
    ASSERT_TRUE(outcome.waitForEnd()) << outcome.summary();
    EXPECT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.calls().size(), 1u) << "failed alone is called: " << outcome.summary();
    const auto request = outcome.request();
    ASSERT_TRUE(request && request->error());
    EXPECT_EQ(request->error()->kind, ErrorKind::misuse);
    EXPECT_EQ(request->error()->code, "InvalidParameter");
    EXPECT_EQ(request->error()->message, message);
    EXPECT_NE(outcome.calls()[0].thread, std::this_thread::get_id());
}

class Misuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(Misuse, SendsNothingAndFailsOnce) {
    test::TransportGuard transport;
    test::ObservedQuilo client("AK", "SK");
    Outcome<QuiloBucketRequest> bucket;
    Outcome<QuiloObjectRquest> object;
    GetParam().call(client, bucket.callbacks(), object.callbacks());

    if (GetParam().onObject) {
        expectFailedAlone(object, GetParam().message);
    } else {
        expectFailedAlone(bucket, GetParam().message);
    }
    EXPECT_EQ(client.configureCount(), 0);
    EXPECT_EQ(transport->performedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, Misuse,
    ::testing::Values(
        listObjects("listWithoutPrefix", without(listing(), "prefix"),
                    R"(listObjects: "prefix" is missing)"),
        listObjects("listWithoutMarker", without(listing(), "marker"),
                    R"(listObjects: "marker" is missing)"),
        listObjects("listBucketWithoutValue", changed(listing(), "bucket", std::nullopt),
                    R"(listObjects: "bucket" has no value)"),
        listObjects("listMaxKeysAsDigits", changed(listing(), "maxKeys", "100"),
                    R"(listObjects: "maxKeys" must hold an int32, but holds a string)"),
        listObjects("listMaxKeysAsInt64", changed(listing(), "maxKeys", std::int64_t{100}),
                    R"(listObjects: "maxKeys" must hold an int32, but holds an int64)"),
        listObjects("listMaxKeysAsDouble", changed(listing(), "maxKeys", 100.0),
                    R"(listObjects: "maxKeys" must hold an int32, but holds a double)"),
        listObjects("listFirstProblemWins", changed(without(listing(), "bucket"), "maxKeys", "100"),
                    R"(listObjects: "bucket" is missing)"),
        setBucketAcl("bucketAclOfSingleStrings",
                     {{"acl", StringMap{{"READ", "uri=x"}}}, {"bucket", "b"}},
                     R"(setBucketAcl: "acl" must hold an AclMap, but holds a StringMap)"),
        setBucketAcl("bucketAclWithoutBucket", {{"acl", AclMap{}}},
                     R"(setBucketAcl: "bucket" is missing)"),
        setObjectAcl("objectAclWithoutKey", without(objectAcl, "key"),
                     R"(setObjectAcl: "key" is missing)"),
        setObjectAcl("objectAclWithoutValue", changed(objectAcl, "acl", std::nullopt),
                     R"(setObjectAcl: "acl" has no value)"),
        setObjectMeta("metaOfLists", changed(objectMeta, "meta", AclMap{}),
                      R"(setObjectMeta: "meta" must hold a StringMap, but holds an AclMap)"),
        setObjectMeta("metaBucketAsNumber", changed(objectMeta, "bucket", std::int32_t{1}),
                      R"(setObjectMeta: "bucket" must hold a string, but holds an int32)"),
        setObjectMeta("metaWithoutKey", without(objectMeta, "key"),
                      R"(setObjectMeta: "key" is missing)")),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quilo

// TLS verification, where credentials go, and header injection.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultServer.hpp"
#include "support/RequestWatch.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::FaultAction;
using test::ServedRequest;

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// Two CAs, the first of which the requests trust, and certificates for 127.0.0.1 that are each
// wrong in one way: <name>.pem and <name>.key.
const char* const kMakeCertificates = R"(set -e; cd "$1"
key() { openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$@"; }
for ca in trusted other; do key $ca-ca.key -x509 -out $ca-ca.pem -subj /CN=$ca -days 2; done
leaf() {  # name, common name, subjectAltName, CA, days
    key $1.key -out $1.csr -subj /CN=$2
    echo subjectAltName=$3 >$1.ext
    openssl x509 -req -in $1.csr -CA $4-ca.pem -CAkey $4-ca.key -set_serial 2 -days $5 \
        -extfile $1.ext -out $1.pem
}
leaf good 127.0.0.1 IP:127.0.0.1 trusted 2
leaf wrong-ca 127.0.0.1 IP:127.0.0.1 other 2
leaf wrong-host other.invalid DNS:other.invalid trusted 2
leaf expired 127.0.0.1 IP:127.0.0.1 trusted -1  # ended yesterday
)";

// `openssl s_server -www` with the certificate `name`, on a port the system picks, for as long
// as the object lives.
struct TlsPeer {
    TlsPeer(const fs::path& dir, const std::string& name, std::string server = {}) {
        if (server.empty())
            server = "openssl s_server -www -accept 127.0.0.1:0 -cert " + name + ".pem -key " +
                     name + ".key";
        const std::string command =
            "cd '" + dir.string() + "' && echo $$ && exec " + server + " </dev/null 2>/dev/null";
        pipe = ::popen(command.c_str(), "r");
        char line[256];
        while (pipe && port == 0 && std::fgets(line, sizeof line, pipe)) {
            if (pid == 0)
                pid = std::atoi(line);
            else if (std::string_view(line).starts_with("ACCEPT 127.0.0.1:"))
                port = std::atoi(line + 17);
        }
    }
    ~TlsPeer() {
        if (pid > 0)
            ::kill(pid, SIGTERM);
        if (pipe)
            ::pclose(pipe);
    }
    FILE* pipe = nullptr;
    int pid = 0, port = 0;
};

TEST(Tls, OnlyATrustedCurrentCertificateForTheHostConnects) {
    test::SharedStateGuard restore;
    test::TempDir dir;
    const auto made = test::run({"bash", "-c", kMakeCertificates, "certificates", dir.path()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string trusted = (dir.path() / "trusted-ca.pem").string();

    // "untrusted": the good certificate, judged by the system's store, which lacks the test CA.
    for (const std::string name : {"untrusted", "good", "wrong-ca", "wrong-host", "expired"}) {
        SCOPED_TRACE(name);
        HTTPRequest::setDefaultCAFile(name == "untrusted" ? std::nullopt : std::optional(trusted));
        TlsPeer peer(dir.path(), name == "untrusted" ? "good" : name);
        ASSERT_NE(peer.port, 0) << "openssl s_server did not start";
        auto request =
            std::make_shared<HTTPRequest>("https://127.0.0.1:" + std::to_string(peer.port) + "/");
        request->setTimeOutSeconds(10);
        EXPECT_EQ(test::RequestWatch(*request).run(*request),
                  name == "good" ? "finished" : "failed TLS error TLSFailure");
        EXPECT_EQ(contains(request->responseData(), "s_server"), name == "good");
    }

    // From https down to plain http the credentials would travel in clear: not followed.
    test::FaultServer plain;
    TlsPeer redirecting(
        dir.path(), "good",
        "node -e 'const fs = require(\"fs\"); require(\"https\").createServer("
        "{key: fs.readFileSync(\"good.key\"), cert: fs.readFileSync(\"good.pem\")}, "
        "(q, r) => { r.writeHead(307, {Location: \"" +
            plain.url("/") +
            "\"}); r.end(); }).listen(0, \"127.0.0.1\", function () { "
            "console.log(\"ACCEPT 127.0.0.1:\" + this.address().port); })'");
    ASSERT_NE(redirecting.port, 0) << "node did not start";
    auto request = std::make_shared<HTTPRequest>(
        "https://127.0.0.1:" + std::to_string(redirecting.port) + "/");
    EXPECT_EQ(test::RequestWatch(*request).run(*request), "failed service error RedirectRefused");
    EXPECT_EQ(plain.requestCount(), 0u);
}

constexpr std::string_view kAccessKey = "AKIDSECURITYCHECK042";
// '/', '+' and '=' so that a percent-encoded copy would show too.
constexpr std::string_view kSecretKey = "s3cr3t/Key+With=Marks0123456789abcdefghi";

// Whether `text` holds `key`, as it is or percent-encoded, in any case.
bool holdsKey(std::string text, std::string_view key) {
    std::string plain(key), encoded;
    for (const char c : key) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02x", static_cast<unsigned char>(c));
        const bool unreserved =
            std::isalnum(static_cast<unsigned char>(c)) || contains("-_.~", {&c, 1});
        encoded += unreserved ? std::string(1, c) : hex;
    }
    for (auto* lower : {&text, &plain, &encoded})
        std::transform(lower->begin(), lower->end(), lower->begin(),
                       [](unsigned char c) { return std::tolower(c); });
    return contains(text, plain) || contains(text, encoded);
}

class Credentials : public ::testing::Test {
  protected:
    void SetUp() override { S3Request::setDefaultHost(server_.host()); }

    test::SharedStateGuard shared_;
    test::FaultServer server_;
    test::TempDir dir_;
    Quilo client_{std::string(kAccessKey), std::string(kSecretKey)};
};

// Three paths to the signer: a query string, a copy source header, a body. Keys are
// not refused for line breaks: they travel percent-encoded, in the copy source as in the path.
TEST_F(Credentials, TheKeysTravelOnlyInTheAuthorizationHeader) {
    client_.listObjects(
        {{"bucket", "b"}, {"maxKeys", 10}, {"prefix", "d/"}, {"delimiter", "/"}, {"marker", "a"}});
    client_.copyObject({{"srcBucket", "b"},
                        {"srcKey", "a\r\nX-Injected: yes"},
                        {"desBucket", "b"},
                        {"desKey", "c\r\nX-Injected: yes"}});
    client_.uploadObject({{"bucket", "b"},
                          {"key", "small"},
                          {"filePath", dir_.file("small", "xxxxx")},
                          {"accessPolicy", "private"}});
    AclMap everyPermission;
    for (const char* permission : {"READ", "WRITE", "READ_ACP", "WRITE_ACP", "FULL_CONTROL"})
        everyPermission[permission] = {"id=someone"};
    client_.setBucketAcl({{"bucket", "b"}, {"acl", everyPermission}});
    // The copy reads its source's size first.
    EXPECT_TRUE(test::eventually([&] { return server_.requestCount() >= 5; }));
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 5u);
    std::set<std::string> grants;
    for (const auto& request : requests) {
        SCOPED_TRACE(request.method + " " + request.target);
        EXPECT_FALSE(holdsKey(request.target, kAccessKey));
        EXPECT_FALSE(holdsKey(request.target, kSecretKey));
        EXPECT_FALSE(holdsKey(request.body, kSecretKey));
        for (const auto& [name, value] : request.headers) {
            grants.insert(name.starts_with("x-amz-grant-") ? name : "");
            EXPECT_FALSE(holdsKey(name + ": " + value, kSecretKey)) << name;
            if (name != "Authorization") {
                EXPECT_FALSE(holdsKey(name + ": " + value, kAccessKey)) << name;
            }
        }
        EXPECT_FALSE(request.headers.contains("X-Injected"));
        ASSERT_TRUE(request.headers.contains("Authorization"));
        EXPECT_TRUE(contains(request.headers.at("Authorization"),
                             "Credential=" + std::string(kAccessKey) + "/"));
        if (request.headers.contains("x-amz-copy-source")) {
            EXPECT_EQ(request.headers.at("x-amz-copy-source"), "/b/a%0D%0AX-Injected%3A%20yes");
            EXPECT_EQ(request.target, "/b/c%0D%0AX-Injected%3A%20yes");
        }
    }
    // The names AWS documents: RGW would take "_" for "-" as well.
    EXPECT_EQ(grants, (std::set<std::string>{"", "x-amz-grant-full-control", "x-amz-grant-read",
                                             "x-amz-grant-read-acp", "x-amz-grant-write",
                                             "x-amz-grant-write-acp"}));
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const auto& r) { return r.headers.contains("x-amz-copy-source"); }),
              1);
}

TEST_F(Credentials, ErrorDescriptionsNeverHoldTheSecretKey) {
    // A refusal that quotes the request back, as services do for signature mismatches.
    server_.setHandler([](const ServedRequest& request) {
        const auto authorization = request.headers.find("Authorization");
        return FaultAction::reply(
            403, "<Error><Code>AccessDenied</Code><Message>no</Message><Authorization>" +
                     (authorization == request.headers.end() ? "" : authorization->second) +
                     "</Authorization></Error>");
    });
    Quilo secretOnly{std::nullopt, std::string(kSecretKey)};
    for (const auto& [client, kind, status] :
         {std::tuple{&client_, ErrorKind::service, 403}, {&secretOnly, ErrorKind::misuse, 0}}) {
        const auto ended = test::listBuckets(*client);
        ASSERT_TRUE(test::failedOnce(ended, kind, status));
        const std::string description = ended.request()->error()->description();
        EXPECT_FALSE(holdsKey(description, kSecretKey)) << description;
    }
    EXPECT_EQ(server_.requestCount(), 1u) << "the misuse is never sent";
}

// Whatever cannot be sent as asked fails as misuse and never reaches the server: a missing
// bucket, malformed grants and metadata, and a lone CR or LF in anything that becomes a header,
// each reaching its header by a path of its own.
TEST_F(Credentials, WhatCannotBeSentAsAskedIsRefusedBeforeSending) {
    const StringMap object = {{"bucket", "b"}, {"key", "k"}};
    const auto refused = [](const auto& outcome, const std::string& code = "") {
        return test::failedOnce(outcome, ErrorKind::misuse, 0, code);
    };
    const auto setObjectAcl = [&](const AclMap& acl) {
        return test::op(client_, &Quilo::setObjectAcl,
                        {{"bucket", "b"}, {"key", "k"}, {"acl", acl}});
    };
    const auto setBucketAcl = [&](const AclMap& acl) {
        return test::op(client_, &Quilo::setBucketAcl, {{"bucket", "b"}, {"acl", acl}});
    };
    const auto setObjectMeta = [&](const StringMap& meta) {
        return test::op(client_, &Quilo::setObjectMeta,
                        {{"bucket", "b"}, {"key", "k"}, {"meta", meta}});
    };
    for (const std::string bad : {"\nX-Injected: yes", "\rX-Injected: yes"}) {
        SCOPED_TRACE(testing::PrintToString(bad));
        EXPECT_TRUE(refused(setObjectMeta({{"colour" + bad, "red"}}), "InvalidMetadata"));
        EXPECT_TRUE(
            refused(setObjectMeta({{"Content-Type", "text/plain" + bad}}), "InvalidMetadata"));
        EXPECT_TRUE(refused(setBucketAcl({{"WRITE", {"id=a" + bad}}}), "InvalidGrantee"));
        EXPECT_TRUE(refused(test::op(client_, &Quilo::uploadObject,
                                     {{"bucket", "b"},
                                      {"key", "k"},
                                      {"filePath", dir_.file("small", "x")},
                                      {"accessPolicy", "private" + bad}})))
            << "access policy";
        Quilo badKey("AKID" + bad, std::string(kSecretKey));
        EXPECT_TRUE(refused(test::op(badKey, &Quilo::deleteObject, object))) << "access key";
        S3Request::setDefaultHost(server_.host() + bad);
        EXPECT_TRUE(refused(test::op(client_, &Quilo::getObjectMeta, object))) << "host";
        S3Request::setDefaultHost(server_.host());
    }
    S3Request::setDefaultHost("http://" + server_.host());
    EXPECT_TRUE(refused(test::op(client_, &Quilo::getObjectMeta, object), "InvalidHost"));
    S3Request::setDefaultHost(server_.host());
    using OnBucket = test::Form<std::string, QuiloBucketRequest>;
    for (const auto operation :
         std::initializer_list<OnBucket>{&Quilo::createBucket, &Quilo::deleteBucket})
        EXPECT_TRUE(refused(test::op(client_, operation, ""), "MissingBucket"));
    EXPECT_TRUE(refused(test::op(client_, &Quilo::getObjectAcl, {}), "MissingBucket"));
    EXPECT_TRUE(refused(test::op(client_, &Quilo::deleteObject, {{"bucket", "b"}}), "MissingKey"));
    EXPECT_TRUE(refused(setBucketAcl({{"read", {"id=a"}}}), "InvalidPermission"));
    EXPECT_TRUE(refused(setObjectAcl({{"READ", {"id=a"}}, {"WRITE", {"id="}}}), "InvalidGrantee"));
    EXPECT_TRUE(refused(setObjectAcl({{"READ", {"user=a"}}}), "InvalidGrantee"));
    EXPECT_TRUE(refused(setObjectMeta({{"bad name", "x"}}), "InvalidMetadata"));
    EXPECT_EQ(server_.requestCount(), 0u);
}

}  // namespace
}  // namespace quilo

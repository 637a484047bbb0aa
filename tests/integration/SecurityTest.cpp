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

// Starts `request` and waits for it to end, which it must do exactly once.
void runToEnd(HTTPRequest& request) {
    test::RequestWatch watch(request);
    request.startAsynchronous();
    EXPECT_TRUE(watch.waitForEnd(std::chrono::seconds(30), std::chrono::milliseconds(20)));
    EXPECT_EQ(watch.count(test::RequestWatch::finished) + watch.count(test::RequestWatch::failed),
              1);
}

// Puts back the process-wide endpoint and CA file that these tests point elsewhere.
struct EndpointGuard {
    ~EndpointGuard() {
        S3Request::setDefaultHost(host);
        HTTPRequest::setDefaultCAFile(caFile);
    }
    std::string host = S3Request::defaultHost();
    std::optional<std::string> caFile = HTTPRequest::defaultCAFile();
};

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
    TlsPeer(const fs::path& dir, const std::string& name) {
        const std::string command = "cd '" + dir.string() + "' && echo $$ && exec openssl " +
                                    "s_server -www -accept 127.0.0.1:0 -cert " + name +
                                    ".pem -key " + name + ".key </dev/null 2>/dev/null";
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
    EndpointGuard restore;
    test::TempDir dir;
    const auto made = test::run({"bash", "-c", kMakeCertificates, "certificates", dir.path()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    HTTPRequest::setDefaultCAFile((dir.path() / "trusted-ca.pem").string());

    for (const std::string name : {"good", "wrong-ca", "wrong-host", "expired"}) {
        SCOPED_TRACE(name);
        TlsPeer peer(dir.path(), name);
        ASSERT_NE(peer.port, 0) << "openssl s_server did not start";
        auto request =
            std::make_shared<HTTPRequest>("https://127.0.0.1:" + std::to_string(peer.port) + "/");
        request->setTimeOutSeconds(10);
        runToEnd(*request);
        const auto& error = request->error();
        EXPECT_EQ(error ? std::string(toString(error->kind)) : "none",
                  name == "good" ? "none" : "TLS error")
            << (error ? error->description() : "");
        EXPECT_EQ(contains(request->responseData(), "s_server"), name == "good");
    }
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
    EndpointGuard endpoint_;
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
    EXPECT_TRUE(test::eventually([&] { return server_.requestCount() >= 3; }));
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        SCOPED_TRACE(request.method + " " + request.target);
        EXPECT_FALSE(holdsKey(request.target, kAccessKey));
        EXPECT_FALSE(holdsKey(request.target, kSecretKey));
        EXPECT_FALSE(holdsKey(request.body, kSecretKey));
        for (const auto& [name, value] : request.headers) {
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
        const auto ended = test::ended<QuiloServiceRequest>(
            [&, client = client](auto& o) { client->listBuckets(o.callbacks()); });
        ASSERT_TRUE(test::failedOnce(ended, kind, status));
        const std::string description = ended.request()->error()->description();
        EXPECT_FALSE(holdsKey(description, kSecretKey)) << description;
    }
    EXPECT_EQ(server_.requestCount(), 1u) << "the misuse is never sent";
}

// Through the request library's setters, which the operations pass their strings to; each
// string reaches a header by a path of its own. A lone CR or LF is enough to split a header.
TEST_F(Credentials, LineBreaksInAnythingThatBecomesAHeaderAreRefusedBeforeSending) {
    for (const std::string bad : {"\nX-Injected: yes", "\rX-Injected: yes"}) {
        SCOPED_TRACE(testing::PrintToString(bad));
        const auto plain = [] { return S3ObjectRequest::requestWithBucket("b", "k"); };
        const std::vector<std::shared_ptr<S3ObjectRequest>> requests = {
            S3ObjectRequest::PUTRequestWithBucket("b", "k", StringMap{{"colour" + bad, "red"}}),
            plain(), plain(), plain()};
        for (const auto& request : requests) {
            request->setAccessKey(std::string(kAccessKey));
            request->setSecretAccessKey(std::string(kSecretKey));
        }
        requests[1]->setAccessPolicy("private" + bad);
        requests[2]->setAccessKey("AKID" + bad);
        requests[3]->setHost(server_.host() + bad);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            runToEnd(*requests[i]);
            EXPECT_TRUE(requests[i]->error() && requests[i]->error()->kind == ErrorKind::misuse)
                << "metadata name, access policy, access key, host: " << i;
        }
    }
    EXPECT_EQ(server_.requestCount(), 0u);
}

}  // namespace
}  // namespace quilo

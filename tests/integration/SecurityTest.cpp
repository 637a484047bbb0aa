// TLS verification, where credentials go, and header injection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/FaultServer.hpp"
#include "support/Outcome.hpp"
#include "support/RequestWatch.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

extern char** environ;

namespace quilo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Event;
using test::FaultAction;
using test::FaultServer;
using test::Outcome;
using test::ServedRequest;

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder of its own for one test, removed with it.
class TempDir {
  public:
    TempDir() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                ("quilo-security-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Puts back the process-wide endpoint and CA file that these tests point elsewhere.
class EndpointGuard {
  public:
    ~EndpointGuard() {
        S3Request::setDefaultHost(host_);
        S3Request::setDefaultRegion(region_);
        HTTPRequest::setDefaultCAFile(caFile_);
    }

  private:
    std::string host_ = S3Request::defaultHost();
    std::string region_ = S3Request::defaultRegion();
    std::optional<std::string> caFile_ = HTTPRequest::defaultCAFile();
};

// --- TLS ------------------------------------------------------------------------------------

void openssl(const fs::path& dir, std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    // openssl resolves the file names it is given against its working folder.
    for (auto& arg : args) {
        if (arg.starts_with("@"))
            arg = (dir / arg.substr(1)).string();
    }
    const auto result = test::run(args);
    ASSERT_EQ(result.exitCode, 0) << args[1] << ": " << result.err;
}

// Two certificate authorities, the first of which the requests trust, and certificates for
// 127.0.0.1 that are each wrong in one way. Made once for all the TLS tests.
class Certificates {
  public:
    explicit Certificates(const fs::path& dir) : dir_(dir) {
        for (const std::string ca : {"trusted", "other"}) {
            openssl(dir,
                    {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                     "-nodes", "-keyout", "@" + ca + "-ca.key", "-out", "@" + ca + "-ca.pem",
                     "-subj", "/CN=Quilo " + ca + " test CA", "-days", "2"});
        }
        leaf("good", "127.0.0.1", "IP:127.0.0.1", "trusted");
        leaf("wrong-ca", "127.0.0.1", "IP:127.0.0.1", "other");
        leaf("wrong-host", "other.invalid", "DNS:other.invalid", "trusted");
        leaf("expired", "127.0.0.1", "IP:127.0.0.1", "trusted", "20200101000000Z",
             "20200102000000Z");
    }

    std::string trustedCA() const { return (dir_ / "trusted-ca.pem").string(); }
    std::string cert(const std::string& name) const { return (dir_ / (name + ".pem")).string(); }
    std::string key(const std::string& name) const { return (dir_ / (name + ".key")).string(); }

  private:
    void leaf(const std::string& name, const std::string& commonName, const std::string& altName,
              const std::string& ca, const std::string& notBefore = {},
              const std::string& notAfter = {}) {
        std::ofstream(dir_ / (name + ".ext")) << "subjectAltName=" << altName << "\n";
        openssl(dir_, {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-keyout", "@" + name + ".key", "-out", "@" + name + ".csr",
                       "-subj", "/CN=" + commonName});
        if (notBefore.empty()) {
            openssl(dir_, {"x509", "-req", "-in", "@" + name + ".csr", "-CA", "@" + ca + "-ca.pem",
                           "-CAkey", "@" + ca + "-ca.key", "-set_serial", "2", "-days", "2",
                           "-extfile", "@" + name + ".ext", "-out", "@" + name + ".pem"});
            return;
        }
        // Only `openssl ca` takes a start and end date; it wants a small database.
        std::ofstream(dir_ / "ca.cnf") << "[ca]\ndefault_ca = test\n[test]\n"
                                       << "database = " << (dir_ / "index.txt").string() << "\n"
                                       << "new_certs_dir = " << dir_.string() << "\n"
                                       << "serial = " << (dir_ / "serial").string() << "\n"
                                       << "default_md = sha256\npolicy = any\n"
                                       << "[any]\ncommonName = supplied\n";
        std::ofstream(dir_ / "index.txt");
        std::ofstream(dir_ / "serial") << "10\n";
        openssl(dir_, {"ca", "-batch", "-config", "@ca.cnf", "-cert", "@" + ca + "-ca.pem",
                       "-keyfile", "@" + ca + "-ca.key", "-in", "@" + name + ".csr", "-out",
                       "@" + name + ".pem", "-startdate", notBefore, "-enddate", notAfter,
                       "-extfile", "@" + name + ".ext", "-notext"});
    }

    fs::path dir_;
};

// `openssl s_server -www` with one certificate, on a port the system picks, for as long as the
// object lives.
class TlsPeer {
  public:
    TlsPeer(const fs::path& dir, const std::string& cert, const std::string& key) {
        const fs::path out = dir / ("s_server-" + std::to_string(++serial_) + ".out");
        std::vector<std::string> args = {"/usr/bin/openssl",
                                         "s_server",
                                         "-www",
                                         "-accept",
                                         "127.0.0.1:0",
                                         "-cert",
                                         cert,
                                         "-key",
                                         key};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            return;
        }
        // It says "ACCEPT 127.0.0.1:<port>" once it listens.
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             port_ == 0 && std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms)) {
            const std::string text = contentOf(out);
            const auto at = text.find("ACCEPT 127.0.0.1:");
            if (at != std::string::npos && text.find('\n', at) != std::string::npos)
                port_ = std::stoi(text.substr(at + 17));
        }
    }
    ~TlsPeer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int port() const { return port_; }

  private:
    static inline int serial_ = 0;
    pid_t pid_ = -1;
    int port_ = 0;
};

class Tls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        certificates_ = new Certificates(dir_->path());
    }
    static void TearDownTestSuite() {
        delete certificates_;
        delete dir_;
    }

    // A GET of https://127.0.0.1:<port>/ from a peer serving `name`, trusting only our CA.
    std::shared_ptr<HTTPRequest> fetchFrom(const std::string& name) {
        if (HasFatalFailure())
            return nullptr;
        TlsPeer peer(dir_->path(), certificates_->cert(name), certificates_->key(name));
        EXPECT_NE(peer.port(), 0) << "openssl s_server did not start";
        HTTPRequest::setDefaultCAFile(certificates_->trustedCA());
        auto request =
            std::make_shared<HTTPRequest>("https://127.0.0.1:" + std::to_string(peer.port()) + "/");
        request->setTimeOutSeconds(10);
        test::RequestWatch watch(*request);
        request->startAsynchronous();
        EXPECT_TRUE(watch.waitForEnd());
        EXPECT_EQ(
            watch.count(test::RequestWatch::finished) + watch.count(test::RequestWatch::failed), 1);
        return request;
    }

    EndpointGuard restore_;
    static inline TempDir* dir_ = nullptr;
    static inline Certificates* certificates_ = nullptr;
};

TEST_F(Tls, ATrustedCertificateForTheHostConnects) {
    const auto request = fetchFrom("good");
    ASSERT_TRUE(request);
    ASSERT_FALSE(request->error()) << request->error()->description();
    EXPECT_EQ(request->responseStatusCode(), 200);
    EXPECT_TRUE(contains(request->responseData(), "s_server")) << request->responseData();
}

TEST_F(Tls, EveryWrongCertificateFailsTheHandshake) {
    for (const std::string name : {"wrong-ca", "wrong-host", "expired"}) {
        SCOPED_TRACE(name);
        const auto request = fetchFrom(name);
        ASSERT_TRUE(request);
        ASSERT_TRUE(request->error());
        EXPECT_EQ(request->error()->kind, ErrorKind::tls) << request->error()->description();
        EXPECT_EQ(request->responseStatusCode(), 0);
        EXPECT_TRUE(request->responseData().empty());
    }
}

// --- Credentials ----------------------------------------------------------------------------

constexpr std::string_view kAccessKey = "AKIDSECURITYCHECK042";
// '/', '+' and '=' so that a percent-encoded copy would show too.
constexpr std::string_view kSecretKey = "s3cr3t/Key+With=Marks0123456789abcdefghi";

// Every spelling in which a key could leave: as is, or percent-encoded in either case.
std::vector<std::string> spellings(std::string_view key) {
    std::string upper, lower;
    for (char c : key) {
        const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                           c == '.' || c == '~';
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        upper += plain ? std::string(1, c) : std::string(hex);
        std::snprintf(hex, sizeof hex, "%%%02x", static_cast<unsigned char>(c));
        lower += plain ? std::string(1, c) : std::string(hex);
    }
    return {std::string(key), upper, lower};
}

bool holdsKey(std::string_view text, std::string_view key) {
    for (const auto& spelling : spellings(key)) {
        if (contains(text, spelling))
            return true;
    }
    return false;
}

std::string authorizationOf(const ServedRequest& request) {
    const auto found = request.headers.find("Authorization");
    return found == request.headers.end() ? std::string() : found->second;
}

// Answers each kind of request as a service would, enough for every operation to go through,
// multipart uploads included.
FaultAction serviceAnswer(const ServedRequest& request) {
    if (request.method == "POST" && contains(request.target, "?uploads"))
        return FaultAction::reply(200,
                                  "<InitiateMultipartUploadResult><Bucket>b</Bucket><Key>k</Key>"
                                  "<UploadId>upload-1</UploadId></InitiateMultipartUploadResult>");
    if (request.method == "PUT" && contains(request.target, "partNumber="))
        return FaultAction::reply(200).header("ETag", "\"part\"");
    if (request.method == "POST" && contains(request.target, "uploadId="))
        return FaultAction::reply(200,
                                  "<CompleteMultipartUploadResult><ETag>\"whole-2\"</ETag>"
                                  "</CompleteMultipartUploadResult>");
    return FaultAction::reply(200);
}

class Credentials : public ::testing::Test {
  protected:
    void SetUp() override { S3Request::setDefaultHost(server_.host()); }
    void TearDown() override { S3ObjectRequest::setMultipartThreshold(threshold_); }

    test::SharedStateGuard shared_;
    EndpointGuard endpoint_;
    const std::uint64_t threshold_ = S3ObjectRequest::multipartThreshold();
    FaultServer server_{serviceAnswer};
    TempDir dir_;
};

TEST_F(Credentials, TheKeysTravelOnlyInTheAuthorizationHeader) {
    const fs::path small = dir_.path() / "small.txt";
    const fs::path large = dir_.path() / "large.bin";
    std::ofstream(small) << "hello";
    std::ofstream(large, std::ios::binary) << std::string(6 << 20, 'x');
    S3ObjectRequest::setMultipartThreshold(5 << 20);

    Quilo client{std::string(kAccessKey), std::string(kSecretKey)};
    std::vector<std::function<bool()>> ends;
    auto track = [&](auto outcome) { ends.push_back([outcome] { return outcome.waitForEnd(); }); };
    const StringMap object = {{"bucket", "sec-bucket"}, {"key", "dir/key.txt"}};
    {
        Outcome<QuiloServiceRequest> o;
        client.listBuckets(o.callbacks());
        track(o);
    }
    for (auto call : {&Quilo::createBucket, &Quilo::getBucketAcl, &Quilo::getBucketMeta,
                      &Quilo::deleteBucket}) {
        Outcome<QuiloBucketRequest> o;
        (client.*call)("sec-bucket", o.callbacks());
        track(o);
    }
    {
        Outcome<QuiloBucketRequest> o;
        client.listObjects({{"bucket", "sec-bucket"},
                            {"maxKeys", std::int32_t{10}},
                            {"prefix", "dir/"},
                            {"delimiter", "/"},
                            {"marker", "a"}},
                           o.callbacks());
        track(o);
        Outcome<QuiloBucketRequest> acl;
        client.setBucketAcl({{"bucket", "sec-bucket"}, {"acl", AclMap{{"READ", {"id=reader"}}}}},
                            acl.callbacks());
        track(acl);
    }
    for (const auto& file : {small, large}) {
        Outcome<QuiloObjectRquest> o;
        StringMap param = object;
        param["filePath"] = file.string();
        param["accessPolicy"] = "private";
        client.uploadObject(param, o.transferCallbacks());
        track(o);
    }
    {
        Outcome<QuiloObjectRquest> o;
        client.downloadObject(object, o.transferCallbacks());
        track(o);
    }
    for (auto call : {&Quilo::deleteObject, &Quilo::getObjectAcl, &Quilo::getObjectMeta}) {
        Outcome<QuiloObjectRquest> o;
        (client.*call)(object, o.callbacks());
        track(o);
    }
    {
        Outcome<QuiloObjectRquest> copy, meta, acl;
        client.copyObject({{"srcBucket", "sec-bucket"},
                           {"srcKey", "dir/key.txt"},
                           {"desBucket", "sec-bucket"},
                           {"desKey", "copy.txt"}},
                          copy.callbacks());
        client.setObjectMeta(
            {{"bucket", "sec-bucket"}, {"key", "k"}, {"meta", StringMap{{"colour", "red"}}}},
            meta.callbacks());
        client.setObjectAcl(
            {{"bucket", "sec-bucket"}, {"key", "k"}, {"acl", AclMap{{"READ", {"id=reader"}}}}},
            acl.callbacks());
        track(copy);
        track(meta);
        track(acl);
    }
    for (const auto& ended : ends)
        ASSERT_TRUE(ended());

    const auto requests = server_.requests();
    // 15 operations; the large upload is three requests more (initiate, two parts, complete).
    ASSERT_EQ(requests.size(), 18u);
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
        // Signed, with the access key where it belongs.
        ASSERT_TRUE(request.headers.contains("Authorization"));
        EXPECT_TRUE(contains(request.headers.at("Authorization"),
                             "Credential=" + std::string(kAccessKey) + "/"));
    }
}

TEST_F(Credentials, ErrorDescriptionsNeverHoldTheSecretKey) {
    auto description = [](const auto& outcome) {
        const auto request = outcome.request();
        EXPECT_TRUE(request && request->error());
        return request && request->error() ? request->error()->description() : std::string();
    };
    auto check = [&](const char* what, Quilo& client, ErrorKind kind) {
        SCOPED_TRACE(what);
        Outcome<QuiloServiceRequest> o;
        client.listBuckets(o.callbacks());
        ASSERT_TRUE(o.waitForEnd());
        ASSERT_EQ(o.count(Event::failed), 1) << o.summary();
        const auto text = description(o);
        EXPECT_EQ(o.request()->error()->kind, kind) << text;
        EXPECT_FALSE(holdsKey(text, kSecretKey)) << text;
    };
    Quilo client{std::string(kAccessKey), std::string(kSecretKey)};

    // A refusal that quotes the request back, as services do for signature mismatches.
    server_.setHandler([](const ServedRequest& request) {
        return FaultAction::reply(
            403, "<Error><Code>AccessDenied</Code><Message>no</Message><Authorization>" +
                     authorizationOf(request) + "</Authorization></Error>");
    });
    check("a 403", client, ErrorKind::service);

    {
        // A port nobody listens on.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
        ::close(fd);
        S3Request::setDefaultHost("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
        check("a refused connection", client, ErrorKind::transport);
        S3Request::setDefaultHost(server_.host());
    }

    Quilo secretOnly{std::nullopt, std::string(kSecretKey)};
    check("a secret key without an access key", secretOnly, ErrorKind::misuse);

    // A real signature mismatch from RGW, which echoes what it was sent.
    const test::Server rgw = test::rgw();
    S3Request::setDefaultHost(rgw.host);
    Quilo wrongSecret{rgw.accessKey, std::string(kSecretKey)};
    check("RGW's SignatureDoesNotMatch", wrongSecret, ErrorKind::service);
    EXPECT_EQ(server_.requestCount(), 1u);  // the 403 only
}

// --- Header injection -----------------------------------------------------------------------

// Strings that try to end a header early and start one of their own.
const std::vector<std::string> kBreaks = {"\r\nX-Injected: yes", "\nX-Injected: yes",
                                          "\rX-Injected: yes"};

class HeaderInjection : public Credentials {
  protected:
    // `start` starts one operation with `text` somewhere in it; it must fail as a misuse with
    // nothing sent.
    template <class R>
    void expectRefused(const std::string& what, const std::function<void(Outcome<R>&)>& start) {
        SCOPED_TRACE(what);
        Outcome<R> o;
        start(o);
        ASSERT_TRUE(o.waitForEnd());
        ASSERT_EQ(o.count(Event::failed), 1) << o.summary();
        EXPECT_EQ(o.count(Event::finished), 0);
        EXPECT_EQ(o.request()->error()->kind, ErrorKind::misuse) << o.summary();
    }

    Quilo client_{std::string(kAccessKey), std::string(kSecretKey)};
};

TEST_F(HeaderInjection, LineBreaksInAnythingThatBecomesAHeaderAreRefusedBeforeSending) {
    using Object = Outcome<QuiloObjectRquest>;
    using Bucket = Outcome<QuiloBucketRequest>;
    const fs::path file = dir_.path() / "upload.txt";
    std::ofstream(file) << "hello";

    for (const auto& bad : kBreaks) {
        expectRefused<QuiloObjectRquest>("metadata value", [&](Object& o) {
            client_.setObjectMeta(
                {{"bucket", "b"}, {"key", "k"}, {"meta", StringMap{{"colour", "red" + bad}}}},
                o.callbacks());
        });
        expectRefused<QuiloObjectRquest>("metadata name", [&](Object& o) {
            client_.setObjectMeta(
                {{"bucket", "b"}, {"key", "k"}, {"meta", StringMap{{"colour" + bad, "red"}}}},
                o.callbacks());
        });
        expectRefused<QuiloObjectRquest>("access policy", [&](Object& o) {
            client_.uploadObject({{"bucket", "b"},
                                  {"key", "k"},
                                  {"filePath", file.string()},
                                  {"accessPolicy", "private" + bad}},
                                 o.transferCallbacks());
        });
        expectRefused<QuiloObjectRquest>("object grantee", [&](Object& o) {
            client_.setObjectAcl(
                {{"bucket", "b"}, {"key", "k"}, {"acl", AclMap{{"READ", {"id=reader" + bad}}}}},
                o.callbacks());
        });
        expectRefused<QuiloBucketRequest>("bucket grantee", [&](Bucket& o) {
            client_.setBucketAcl(
                {{"bucket", "b"}, {"acl", AclMap{{"WRITE", {"uri=http://x/" + bad}}}}},
                o.callbacks());
        });
        expectRefused<QuiloServiceRequest>("access key", [&](Outcome<QuiloServiceRequest>& o) {
            Quilo client{std::string(kAccessKey) + bad, std::string(kSecretKey)};
            client.listBuckets(o.callbacks());
        });

        // The request library's own setters.
        auto refusedRequest = [&](const std::string& what,
                                  const std::function<void(S3ObjectRequest&)>& spoil) {
            SCOPED_TRACE(what);
            auto request = S3ObjectRequest::requestWithBucket("b", "k");
            request->setAccessKey(std::string(kAccessKey));
            request->setSecretAccessKey(std::string(kSecretKey));
            spoil(*request);
            test::RequestWatch watch(*request);
            request->startAsynchronous();
            ASSERT_TRUE(watch.waitForEnd());
            EXPECT_EQ(watch.count(test::RequestWatch::failed), 1);
            ASSERT_TRUE(request->error());
            EXPECT_EQ(request->error()->kind, ErrorKind::misuse) << request->error()->description();
        };
        refusedRequest("header value", [&](auto& r) { r.addRequestHeader("X-Note", "a" + bad); });
        refusedRequest("header name", [&](auto& r) { r.addRequestHeader("X-Note" + bad, "a"); });
        refusedRequest("region", [&](auto& r) { r.setRegion("us-east-1" + bad); });
        refusedRequest("host", [&](auto& r) { r.setHost(server_.host() + bad); });
    }
    EXPECT_EQ(server_.requestCount(), 0u);
}

// Keys are not refused: they travel percent-encoded, in the copy source as in the path.
TEST_F(HeaderInjection, ACopySourceKeyWithLineBreaksTravelsEncoded) {
    Outcome<QuiloObjectRquest> o;
    client_.copyObject({{"srcBucket", "b"},
                        {"srcKey", "a\r\nX-Injected: yes"},
                        {"desBucket", "b"},
                        {"desKey", "c\r\nX-Injected: yes"}},
                       o.callbacks());
    ASSERT_TRUE(o.waitForEnd());
    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].headers.contains("X-Injected"));
    EXPECT_EQ(requests[0].headers.at("x-amz-copy-source"), "/b/a%0D%0AX-Injected%3A%20yes");
    EXPECT_EQ(requests[0].target, "/b/c%0D%0AX-Injected%3A%20yes");
}

}  // namespace
}  // namespace quilo

#include "Servers.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "quilo/Client.hpp"
#include "quilo/requestlib/http/HTTPRequest.hpp"
#include "quilo/requestlib/s3/S3Request.hpp"

extern char** environ;

namespace quilo::test {
namespace {

// QUILO_TEST_<name>, as the servers.env that scripts/servers.sh writes sets it.
std::string env(const std::string& name) {
    const char* value = std::getenv(("QUILO_TEST_" + name).c_str());
    if (!value || !*value)
        throw std::runtime_error("QUILO_TEST_" + name +
                                 " is not set: run `scripts/servers.sh start`, then source the "
                                 "servers.env it writes (.run/servers.env by default)");
    return value;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string readAll(std::FILE* file) {
    std::string text;
    char block[8192];
    std::rewind(file);
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;)
        text.append(block, n);
    std::fclose(file);
    return text;
}

}  // namespace

Server rgw() {
    return {"rgw",         env("RGW_HOST"), env("ACCESS_KEY"), env("SECRET_KEY"),
            env("REGION"), env("CA_FILE"),  env("USER_ID")};
}

Server rgwHttps() {
    Server server = rgw();
    server.name = "rgw-https";
    server.host = env("RGW_HTTPS_HOST");
    server.https = true;
    return server;
}

namespace {

// RGW with the keys of another of its users, QUILO_TEST_<prefix>ACCESS_KEY and the rest.
Server rgwUser(std::string name, const std::string& prefix) {
    Server server = rgw();
    server.name = std::move(name);
    server.accessKey = env(prefix + "ACCESS_KEY");
    server.secretKey = env(prefix + "SECRET_KEY");
    server.userId = env(prefix + "USER_ID");
    return server;
}

}  // namespace

Server rgwOther() {
    return rgwUser("rgw-other", "OTHER_");
}

Server rgwVirtual() {
    Server server = rgw();
    server.name = "rgwVirtual";
    server.host = env("RGW_VIRTUAL_HOST");
    server.virtualHosted = true;
    return server;
}

Server rgwSts() {
    Server server = rgwUser("rgwSts", "STS_");
    server.host = env("STS_HOST");
    return server;
}

Server s3rver() {
    return {"s3rver", env("S3RVER_HOST"), env("S3RVER_ACCESS_KEY"), env("S3RVER_SECRET_KEY"),
            env("REGION")};
}

void useServer(const Server& server) {
    S3Request::setDefaultHost(server.host);
    S3Request::setDefaultRegion(server.region);
    S3Request::setDefaultAddressingStyle(server.virtualHosted ? AddressingStyle::virtualHosted
                                                              : AddressingStyle::automatic);
    HTTPRequest::setDefaultCAFile(server.caFile.empty() ? std::nullopt
                                                        : std::optional(server.caFile));
    Quilo::GlobalConfig(server.accessKey, server.secretKey, server.https);
}

std::string uniqueBucketName(std::string_view prefix) {
    static std::atomic<unsigned> counter{0};
    std::string name;
    for (char c : prefix.substr(0, 24))
        name += std::isalnum(static_cast<unsigned char>(c))
                    ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                    : '-';
    if (name.empty() || name.front() == '-')
        name = std::string("q").append(name);  // not insert(): a -Wrestrict false positive
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "-%llx-%x-%x",
                  static_cast<unsigned long long>(micros.count()),
                  static_cast<unsigned>(::getpid()), counter.fetch_add(1));
    return name + suffix;  // at most 63 characters, ending with a letter or digit
}

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> environment = extra;
    for (char** entry = environ; *entry; ++entry)
        if (!std::string_view(*entry).starts_with("AWS_"))
            environment.emplace_back(*entry);
    return environment;
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    RunResult result;
    // Files rather than pipes: a chatty child can never stall on a full one.
    std::FILE* sinks[2] = {std::tmpfile(), std::tmpfile()};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 2 && sinks[i]; ++i) {
        ::fcntl(::fileno(sinks[i]), F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_adddup2(&actions, ::fileno(sinks[i]), STDOUT_FILENO + i);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> args = argv, env = environment;
    auto argPointers = pointersTo(args);
    auto envPointers = pointersTo(env);
    pid_t pid = -1;
    // posix_spawn: nothing else runs in the child, which is what a process with threads needs.
    const int spawned =
        sinks[0] && sinks[1] && !argv.empty()
            ? ::posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, argPointers.data(),
                             environment.empty() ? environ : envPointers.data())
            : -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    while (spawned == 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (spawned == 0 && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    result.out = sinks[0] ? readAll(sinks[0]) : "";
    result.err = sinks[1] ? readAll(sinks[1]) : "";
    if (spawned != 0)
        result.err += "cannot run " + (argv.empty() ? std::string() : argv[0]);
    return result;
}

RunResult aws(const Server& server, const std::vector<std::string>& args,
              const std::string& program) {
    // The caller's own AWS settings must not leak into a test.
    const auto environment = environmentWith(
        {"AWS_ACCESS_KEY_ID=" + server.accessKey, "AWS_SECRET_ACCESS_KEY=" + server.secretKey,
         "AWS_DEFAULT_REGION=" + server.region, "AWS_CONFIG_FILE=/dev/null",
         "AWS_SHARED_CREDENTIALS_FILE=/dev/null", "AWS_PAGER=", "AWS_EC2_METADATA_DISABLED=true"});
    std::vector<std::string> argv = {program, "--endpoint-url", server.endpoint()};
    if (server.https)
        argv.insert(argv.end(), {"--ca-bundle", server.caFile});
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, environment);
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    // Four bytes a draw, and files read a buffer at a time: an unoptimised sanitizer build
    // otherwise spends minutes on the tests' own tens of megabytes.
    for (std::size_t at = 0; at < size; at += sizeof(std::uint32_t)) {
        const auto word = static_cast<std::uint32_t>(generator());
        std::memcpy(bytes.data() + at, &word, std::min(sizeof word, size - at));
    }
    return bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

TempDir::TempDir() {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("quilo-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
    return (path_ / name).string();
}

}  // namespace quilo::test

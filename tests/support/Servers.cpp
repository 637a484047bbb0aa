#include "Servers.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "quilo/Quilo.hpp"
#include "quilo/requestlib/HTTPRequest.hpp"
#include "quilo/requestlib/S3Request.hpp"

extern char** environ;

namespace quilo::test {

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) {
        throw std::runtime_error(std::string(name) +
                                 " is not set: run `scripts/servers.sh start`, then source the "
                                 "servers.env it writes (.run/servers.env by default)");
    }
    return value;
}

std::string toBase36(unsigned long long number) {
    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string text;
    do {
        text.insert(text.begin(), digits[number % 36]);
        number /= 36;
    } while (number != 0);
    return text;
}

// The program's path as execve wants it.
std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string_view directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!directories.empty()) {
        const auto colon = directories.find(':');
        const auto directory = directories.substr(0, colon);
        const auto candidate =
            std::filesystem::path(directory.empty() ? "." : std::string(directory)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        directories = colon == std::string_view::npos ? "" : directories.substr(colon + 1);
    }
    return program;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

Server rgw() {
    return Server{"rgw",
                  variable("QUILO_TEST_RGW_HOST"),
                  variable("QUILO_TEST_ACCESS_KEY"),
                  variable("QUILO_TEST_SECRET_KEY"),
                  variable("QUILO_TEST_REGION"),
                  variable("QUILO_TEST_CA_FILE"),
                  variable("QUILO_TEST_USER_ID"),
                  false};
}

Server rgwHttps() {
    Server server = rgw();
    server.name = "rgw-https";
    server.host = variable("QUILO_TEST_RGW_HTTPS_HOST");
    server.https = true;
    return server;
}

Server rgwOther() {
    Server server = rgw();
    server.name = "rgw-other";
    server.accessKey = variable("QUILO_TEST_OTHER_ACCESS_KEY");
    server.secretKey = variable("QUILO_TEST_OTHER_SECRET_KEY");
    server.userId = variable("QUILO_TEST_OTHER_USER_ID");
    return server;
}

Server s3rver() {
    return Server{"s3rver",
                  variable("QUILO_TEST_S3RVER_HOST"),
                  variable("QUILO_TEST_S3RVER_ACCESS_KEY"),
                  variable("QUILO_TEST_S3RVER_SECRET_KEY"),
                  variable("QUILO_TEST_REGION"),
                  "",
                  "",
                  false};
}

void useServer(const Server& server) {
    S3Request::setDefaultHost(server.host);
    S3Request::setDefaultRegion(server.region);
    HTTPRequest::setDefaultCAFile(server.caFile.empty() ? std::nullopt
                                                        : std::optional(server.caFile));
    Quilo::GlobalConfig(server.accessKey, server.secretKey, server.https);
}

std::string uniqueBucketName(std::string_view prefix) {
    static std::atomic<unsigned> counter{0};
    std::string name;
    for (char c : prefix.substr(0, 24)) {
        const auto lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        name += std::isalnum(static_cast<unsigned char>(lower)) ? lower : '-';
    }
    if (name.empty() || name.front() == '-') {
        name.insert(0, "q");
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    name += "-" + toBase36(static_cast<unsigned long long>(micros)) + "-" +
            toBase36(static_cast<unsigned long long>(::getpid())) + "-" +
            toBase36(counter.fetch_add(1));
    return name;  // well under 63 characters; ends with a letter or digit
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    RunResult result;
    if (argv.empty()) {
        return result;
    }
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }

    // posix_spawn: fork and exec without running anything else in the child, which is what a
    // process with a network thread needs.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment;
    auto argPointers = pointersTo(args);
    auto envPointers = pointersTo(env);
    const std::string program = resolve(argv.front());
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argPointers.data(),
                                      environment.empty() ? environ : envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        result.err = "cannot run " + program;
        return result;
    }

    // Read both pipes together so that neither can fill up and stall the child.
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[8192];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

RunResult aws(const Server& server, const std::vector<std::string>& args) {
    // Everything but the caller's own AWS settings, which must not leak into a test.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string_view(*entry).rfind("AWS_", 0) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("AWS_ACCESS_KEY_ID=" + server.accessKey);
    environment.push_back("AWS_SECRET_ACCESS_KEY=" + server.secretKey);
    environment.push_back("AWS_DEFAULT_REGION=" + server.region);
    environment.push_back("AWS_CONFIG_FILE=/dev/null");
    environment.push_back("AWS_SHARED_CREDENTIALS_FILE=/dev/null");
    environment.push_back("AWS_PAGER=");
    environment.push_back("AWS_EC2_METADATA_DISABLED=true");

    std::vector<std::string> argv = {"aws", "--endpoint-url", server.endpoint()};
    if (server.https) {
        argv.insert(argv.end(), {"--ca-bundle", server.caFile});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, environment);
}

}  // namespace quilo::test

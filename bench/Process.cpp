#include "Process.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

struct Outcome {
    int status = -1;
    rusage usage{};
};

// Starts argv with stdout and stderr on the given descriptors and waits for it.
Outcome run(const Command& command, int out, int err) {
    std::vector<char*> args;
    for (const auto& arg : command.argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : command.env) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(args[0], args.data());
        std::fprintf(stderr, "cannot run %s\n", args[0]);
        _exit(127);
    }
    Outcome outcome;
    if (pid > 0) {
        wait4(pid, &outcome.status, 0, &outcome.usage);
    }
    return outcome;
}

std::string readAll(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    return text;
}

// The last line with something on it, which is where tools say what went wrong.
std::string lastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    const auto start = text.find_last_of("\r\n");
    text = start == std::string::npos ? text : text.substr(start + 1);
    return text.size() > 200 ? text.substr(0, 200) + "..." : text;
}

bool succeeded(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Busy time of every processor since boot, from the first line of /proc/stat: all but idle and
// iowait (guest time is already in user).
double machineBusySeconds() {
    std::FILE* stat = std::fopen("/proc/stat", "r");
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                       steal = 0;
    const int fields = stat
                           ? std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user,
                                         &nice, &system, &idle, &iowait, &irq, &softirq, &steal)
                           : 0;
    if (stat) {
        std::fclose(stat);
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return fields == 8 ? static_cast<double>(user + nice + system + irq + softirq + steal) / ticks
                       : 0;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

}  // namespace

Measurement measure(const Command& command) {
    std::FILE* err = std::tmpfile();
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const double busyBefore = machineBusySeconds();
    const auto begin = std::chrono::steady_clock::now();
    const Outcome outcome = run(command, null, fileno(err));
    const auto end = std::chrono::steady_clock::now();
    const double busy = machineBusySeconds() - busyBefore;
    close(null);
    Measurement m;
    m.wallSeconds = std::chrono::duration<double>(end - begin).count();
    m.cpuSeconds = seconds(outcome.usage.ru_utime) + seconds(outcome.usage.ru_stime);
    m.machineCpuSeconds = busy;
    m.peakRssKiB = outcome.usage.ru_maxrss;
    m.ok = succeeded(outcome.status);
    if (!m.ok) {
        m.note = lastLine(readAll(err));
        if (m.note.empty()) {
            m.note = "exit status " + std::to_string(WEXITSTATUS(outcome.status));
        }
    }
    std::fclose(err);
    return m;
}

std::optional<std::string> capture(const Command& command) {
    std::FILE* out = std::tmpfile();
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const Outcome outcome = run(command, fileno(out), null);
    close(null);
    std::optional<std::string> text;
    if (succeeded(outcome.status)) {
        text = readAll(out);
    }
    std::fclose(out);
    return text;
}

Measurement best(const std::vector<Measurement>& rounds) {
    if (rounds.empty()) {
        return {};
    }
    return *std::min_element(rounds.begin(), rounds.end(), [](const auto& a, const auto& b) {
        return a.ok != b.ok ? a.ok : a.wallSeconds < b.wallSeconds;
    });
}

void check(Measurement& m, bool holds, const std::string& why) {
    if (m.ok && !holds) {
        m.ok = false;
        m.note = why;
    }
}

}  // namespace bench

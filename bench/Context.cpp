#include "Context.hpp"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <iostream>

namespace bench {

namespace {

std::string quiloTool(const Settings& s) {
    if (!s.quiloTool.empty()) {
        return s.quiloTool;
    }
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string dir = std::string(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return dir.substr(0, dir.rfind('/')) + "/../tools/quilo";
}

}  // namespace

std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

Context::Context(const Settings& target, std::string scratch, std::string profile)
    : target_(target),
      scratch_(std::move(scratch)),
      profile_(std::move(profile)),
      peers_({target.endpoint, target.accessKey, target.secretKey, target.region},
             quiloTool(target), scratch_) {
    bucket_ = makeBucket("objects");
}

Context::~Context() {
    if (!bucket_.empty()) {
        purge(bucket_);
    }
}

Command Context::library(const LibraryJob& job) const {
    const Settings& s = target_;
    const std::pair<const char*, std::string> options[] = {
        {"--endpoint", s.endpoint},
        {"--access-key", s.accessKey},
        {"--secret-key", s.secretKey},
        {"--region", s.region},
        {"--requests", std::to_string(s.requests)},
        {"--concurrency", std::to_string(s.concurrency)},
        {"--child-job", job.name},
        {"--child-bucket", job.bucket},
        {"--child-key", job.key},
        {"--child-file", job.file},
        {"--child-threshold", job.threshold},
        {"--child-verify", job.verify ? "1" : "0"},
    };
    Command command{{"/proc/self/exe"}, {}};
    for (const auto& [flag, value] : options) {
        command.argv.insert(command.argv.end(), {flag, value});
    }
    return command;
}

std::string Context::makeBucket(const std::string& tag) {
    const std::string name = format("qb-%d-%s-%d", getpid(), tag.c_str(), ++buckets_);
    const Command create = peers_.run(
        Tool::curl,
        {"-X", "PUT", "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", peers_.url("/" + name)});
    const Measurement m = measure(create);
    if (!m.ok) {
        std::cerr << "cannot create bucket " << name << ": " << m.note << '\n';
        return "";
    }
    return name;
}

std::optional<std::uint64_t> Context::count(const std::string& bucket) const {
    const auto count = capture(library({.name = "count", .bucket = bucket}));
    return count ? std::optional(std::stoull(*count)) : std::nullopt;
}

std::optional<std::uint64_t> Context::purge(const std::string& bucket) const {
    const auto count = capture(library({.name = "purge", .bucket = bucket}));
    if (!count) {
        std::cerr << "could not empty and delete bucket " << bucket << '\n';
        return std::nullopt;
    }
    return std::stoull(*count);
}

Job skippedJob(const std::string& label, const std::string& why) {
    Job job{label, {}};
    job.skipped = why;
    return job;
}

void Context::runRounds(Table& table, const std::vector<Job>& jobs, int rounds) const {
    for (const auto& job : jobs) {
        job.skipped.empty() ? table.declare(job.label) : table.skip(job.label, job.skipped);
    }
    for (int round = 1; round <= rounds; ++round) {
        for (const auto& job : jobs) {
            if (!job.skipped.empty()) {
                continue;
            }
            progress(format("round %d/%d: %s", round, rounds, job.label.c_str()));
            job.before();
            Measurement m = measure(job.command);
            job.verify(m);
            table.record(job.label, m);
        }
    }
}

}  // namespace bench

// Measures quilo against curl on the same server in the same run: many small requests at a fixed
// concurrency, and large uploads and downloads. Every measured job runs in a child process of its
// own, so that its wall time, CPU time and peak memory are its alone.
//
//   quilo_bench [--endpoint HOST:PORT] [--access-key K] [--secret-key S] [--region R]
//               [--requests N] [--concurrency C] [--transfer-mib M] [--rss-gib G] [--rounds R]
//
// Defaults come from the environment that scripts/servers.sh exports (QUILO_TEST_*).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <quilo/quilo.hpp>

namespace {

struct Settings {
    std::string endpoint, accessKey, secretKey, region = "us-east-1";
    int requests = 500;
    int concurrency = 8;
    std::uint64_t transferMiB = 256;
    std::uint64_t rssGiB = 1;
    int rounds = 3;
    std::string workDir = "/tmp";
};

std::string env(const char* name, std::string fallback = {}) {
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

struct Measurement {
    double wallSeconds = 0, cpuSeconds = 0;
    long peakRssKiB = 0;
    bool ok = false;
};

// Runs argv as a child process and measures it.
Measurement measure(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Measurement m;
    m.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    m.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    m.peakRssKiB = usage.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

Measurement best(const std::vector<Measurement>& runs) {
    return *std::min_element(runs.begin(), runs.end(), [](const auto& a, const auto& b) {
        return !a.ok ? false : !b.ok ? true : a.wallSeconds < b.wallSeconds;
    });
}

void configure(const Settings& s) {
    quilo::S3Request::setDefaultHost(s.endpoint);
    quilo::S3Request::setDefaultRegion(s.region);
    quilo::Quilo::GlobalConfig(s.accessKey, s.secretKey, false, s.concurrency);
}

// --- child jobs: the library doing the work -------------------------------------------------

int childHeads(const Settings& s, const std::string& bucket) {
    configure(s);
    std::mutex mutex;
    std::condition_variable ended;
    int remaining = s.requests, failures = 0;
    auto done = [&](bool ok) {
        std::lock_guard lock(mutex);
        if (!ok)
            ++failures;
        if (--remaining == 0)
            ended.notify_one();
    };
    auto client = quilo::Quilo::sharedInstance();
    for (int i = 0; i < s.requests; ++i)
        client->getBucketMeta(bucket, {.finished = [&](const auto&) { done(true); },
                                       .failed = [&](const auto&) { done(false); }});
    std::unique_lock lock(mutex);
    ended.wait(lock, [&] { return remaining == 0; });
    return failures == 0 ? 0 : 1;
}

int childTransfer(const Settings& s, const std::string& op, const std::string& bucket,
                  const std::string& key, const std::string& file, std::uint64_t threshold,
                  bool verify) {
    configure(s);
    quilo::S3ObjectRequest::setMultipartThreshold(threshold);
    quilo::S3ObjectRequest::setVerifiesChecksums(verify);
    std::promise<bool> outcome;
    auto client = quilo::Quilo::sharedInstance();
    quilo::TransferCallbacks<quilo::QuiloObjectRquest> callbacks{
        .finished = [&](const auto&) { outcome.set_value(true); },
        .failed =
            [&](const auto& request) {
                std::cerr << request->error()->description() << '\n';
                outcome.set_value(false);
            },
    };
    if (op == "upload")
        client->uploadObject({{"filePath", file}, {"bucket", bucket}, {"key", key}}, callbacks);
    else
        client->downloadObject(
            {{"bucket", bucket}, {"key", key}, {"downloadDestinationPath", file}}, callbacks);
    return outcome.get_future().get() ? 0 : 1;
}

// --- the parent: set-up and the comparisons -----------------------------------------------

std::string url(const Settings& s, const std::string& path) {
    return "http://" + s.endpoint + path;
}

std::vector<std::string> curlBase(const Settings& s) {
    return {"curl",
            "--silent",
            "--no-progress-meter",
            "--fail",
            "--aws-sigv4",
            "aws:amz:" + s.region + ":s3",
            "--user",
            s.accessKey + ":" + s.secretKey,
            "-H",
            "x-amz-content-sha256: UNSIGNED-PAYLOAD"};
}

bool setUpBucket(const Settings& s, const std::string& bucket) {
    auto argv = curlBase(s);
    argv.insert(argv.end(), {"-X", "PUT", url(s, "/" + bucket)});
    return measure(argv).ok;
}

void makeFile(const std::string& path, std::uint64_t bytes) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < bytes;) {
        for (auto& word : block)
            word = random();
        auto chunk = std::min<std::uint64_t>(bytes - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
}

void report(const std::string& label, const Measurement& m, double units, const char* unit) {
    std::printf("  %-34s %s %9.1f %s/s  wall %7.3f s  cpu %6.3f s  peak RSS %6.1f MiB\n",
                label.c_str(), m.ok ? "  " : "!!", units / m.wallSeconds, unit, m.wallSeconds,
                m.cpuSeconds, m.peakRssKiB / 1024.0);
}

void compare(const char* what, const Measurement& ours, const Measurement& theirs) {
    std::printf("  => %s: quilo/curl rate %.2fx, cpu %.2fx\n", what,
                theirs.wallSeconds / ours.wallSeconds, ours.cpuSeconds / theirs.cpuSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    s.endpoint = env("QUILO_TEST_RGW_HOST", "127.0.0.1:7480");
    s.accessKey = env("QUILO_TEST_ACCESS_KEY");
    s.secretKey = env("QUILO_TEST_SECRET_KEY");
    s.region = env("QUILO_TEST_REGION", "us-east-1");
    std::map<std::string, std::string> child;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--endpoint")
            s.endpoint = value;
        else if (flag == "--access-key")
            s.accessKey = value;
        else if (flag == "--secret-key")
            s.secretKey = value;
        else if (flag == "--region")
            s.region = value;
        else if (flag == "--requests")
            s.requests = std::stoi(value);
        else if (flag == "--concurrency")
            s.concurrency = std::stoi(value);
        else if (flag == "--transfer-mib")
            s.transferMiB = std::stoull(value);
        else if (flag == "--rss-gib")
            s.rssGiB = std::stoull(value);
        else if (flag == "--rounds")
            s.rounds = std::stoi(value);
        else if (flag == "--work-dir")
            s.workDir = value;
        else if (flag.starts_with("--child-"))
            child[flag.substr(8)] = value;
        else {
            std::cerr << "unknown option " << flag << '\n';
            return 2;
        }
    }
    if (child.count("job")) {
        if (child["job"] == "heads")
            return childHeads(s, child["bucket"]);
        return childTransfer(s, child["job"], child["bucket"], child["key"], child["file"],
                             std::stoull(child["threshold"]), child["verify"] != "0");
    }
    if (s.accessKey.empty()) {
        std::cerr << "no credentials: source .run/rgw/servers.env or pass --access-key\n";
        return 2;
    }

    std::string self = "/proc/self/exe";
    std::string bucket = "quilo-bench-" + std::to_string(getpid());
    if (!setUpBucket(s, bucket)) {
        std::cerr << "cannot create bucket " << bucket << " at " << s.endpoint << '\n';
        return 1;
    }
    auto ourArgs = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{self,
                                      "--endpoint",
                                      s.endpoint,
                                      "--access-key",
                                      s.accessKey,
                                      "--secret-key",
                                      s.secretKey,
                                      "--region",
                                      s.region,
                                      "--requests",
                                      std::to_string(s.requests),
                                      "--concurrency",
                                      std::to_string(s.concurrency)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };

    std::printf("%d HEAD-bucket requests at concurrency %d against %s (best of %d)\n", s.requests,
                s.concurrency, s.endpoint.c_str(), s.rounds);
    std::vector<std::string> curlHeads = curlBase(s);
    curlHeads.insert(curlHeads.end(), {"-Z", "--parallel-max", std::to_string(s.concurrency),
                                       "--head", "--output", "/dev/null"});
    for (int i = 0; i < s.requests; ++i)
        curlHeads.push_back(url(s, "/" + bucket));
    std::vector<Measurement> ours, theirs;
    for (int round = 0; round < s.rounds; ++round) {
        ours.push_back(measure(ourArgs({"--child-job", "heads", "--child-bucket", bucket})));
        theirs.push_back(measure(curlHeads));
    }
    Measurement q = best(ours), c = best(theirs);
    report("quilo getBucketMeta", q, s.requests, "req");
    report("curl -Z --parallel-max", c, s.requests, "req");
    compare("requests", q, c);

    auto transfer = [&](std::uint64_t mib, int rounds) {
        std::uint64_t bytes = mib << 20;
        std::string source = s.workDir + "/quilo-bench-" + std::to_string(getpid()) + ".bin";
        std::string copy = source + ".down";
        makeFile(source, bytes);
        std::string key = "bench-" + std::to_string(mib) + "MiB";
        auto job = [&](const char* op, const std::string& file, std::uint64_t threshold,
                       bool verify = true) {
            return ourArgs({"--child-job", op, "--child-bucket", bucket, "--child-key", key,
                            "--child-file", file, "--child-threshold", std::to_string(threshold),
                            "--child-verify", verify ? "1" : "0"});
        };
        auto curlPut = curlBase(s);
        curlPut.insert(curlPut.end(), {"-T", source, url(s, "/" + bucket + "/" + key)});
        auto curlGet = curlBase(s);
        curlGet.insert(curlGet.end(), {"-o", copy, url(s, "/" + bucket + "/" + key)});
        std::vector<Measurement> single, bare, multi, down, bareDown, curlUp, curlDown;
        for (int round = 0; round < rounds; ++round) {
            single.push_back(measure(job("upload", source, UINT64_MAX)));
            bare.push_back(measure(job("upload", source, UINT64_MAX, false)));
            multi.push_back(measure(job("upload", source, 64u << 20)));
            curlUp.push_back(measure(curlPut));
            down.push_back(measure(job("download", copy, 0)));
            bareDown.push_back(measure(job("download", copy, 0, false)));
            curlDown.push_back(measure(curlGet));
        }
        std::printf("%llu MiB transfers against %s (best of %d)\n",
                    static_cast<unsigned long long>(mib), s.endpoint.c_str(), rounds);
        report("quilo upload, one stream", best(single), static_cast<double>(mib), "MiB");
        report("quilo upload, one stream, no MD5", best(bare), static_cast<double>(mib), "MiB");
        report("quilo upload, multipart", best(multi), static_cast<double>(mib), "MiB");
        report("curl -T", best(curlUp), static_cast<double>(mib), "MiB");
        compare("single-stream upload", best(single), best(curlUp));
        compare("single-stream upload without MD5", best(bare), best(curlUp));
        compare("multipart upload", best(multi), best(curlUp));
        report("quilo download", best(down), static_cast<double>(mib), "MiB");
        report("quilo download, no MD5", best(bareDown), static_cast<double>(mib), "MiB");
        report("curl -o", best(curlDown), static_cast<double>(mib), "MiB");
        compare("download", best(down), best(curlDown));
        compare("download without MD5", best(bareDown), best(curlDown));
        std::remove(source.c_str());
        std::remove(copy.c_str());
    };
    if (s.transferMiB)
        transfer(s.transferMiB, s.rounds);
    if (s.rssGiB)
        transfer(s.rssGiB << 10, 1);
    return 0;
}

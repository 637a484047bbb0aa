// What a run measures and where, from the command line and the environment that
// scripts/servers.sh exports.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bench {

// A job this binary runs in a child process of its own, with the library doing the work.
struct LibraryJob {
    std::string name{};  // heads, heads-future, heads-awaitable, upload, download, count, purge
    std::string bucket{}, key{}, file{};
    std::string threshold =
        "default";  // bytes above which uploads go in parts, downloads in ranges
    bool verify = true;
};

struct Settings {
    std::string endpoint = "127.0.0.1:7480", accessKey, secretKey, region = "us-east-1";
    std::set<std::string> sections;
    int rounds = 3;
    int requests = 500;
    int concurrency = 8;
    std::uint64_t transferMiB = 256;
    std::uint64_t rssGiB = 1;
    int rssRounds = 1;
    int treeFiles = 10000;
    int treeKiB = 4;
    int treeRounds = 1;
    int treeJobs = 0;   // 0: each tool's own default
    bool peers = true;  // awscli's and rclone's rows in the tree and scale sections
    std::vector<int> scaleKeys = {10000, 100000};
    std::string workDir = "/tmp";
    std::string quiloTool;
    bool wan = false;
    double delayMs = 20;
    double rateMiB = 50;
    int proxyForSeconds = 0;  // run only the proxy, by hand, for this long
    std::optional<LibraryJob> job;
};

// Fills s from argv; returns an exit status when the run should end at once (--help, errors).
std::optional<int> parse(int argc, char** argv, Settings& s);

}  // namespace bench

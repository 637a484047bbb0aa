#include "Settings.hpp"

#include <algorithm>
#include <cstdlib>

#include <CLI/CLI.hpp>

namespace bench {

namespace {

constexpr const char* description =
    R"(Measures quilo beside curl and other S3 clients against the same server in one run.
Every measured job runs in a child process of its own; each row is the best of the rounds:
rate, wall time, CPU (user+sys of the child and what it waited for), the CPU the rest of the
machine spent meanwhile ("others": on loopback mostly the server's; wall x cores minus both is
what stood idle) and peak RSS. Ratios read "quilo / peer": rate above 1x means quilo is faster,
cpu below 1x means it spends less. After the last table, each target the library is held to:
its ratio, its bound, met or not, and for a rate the ratio the machine would have allowed had
the row's CPU and the others' kept every core busy throughout.

Sections (--only, comma-separated; default small,transfers,tool,tree):
  small      HEAD-bucket requests at --concurrency: the library vs curl -Z --parallel-max
  transfers  --transfer-mib (and --rss-gib) uploads and downloads: the library vs curl -T,
             with UNSIGNED-PAYLOAD and with a signed payload (its SHA-256 time included),
             and vs curl -o; "one stream" rows take no parts or ranges
  tool       quilo put/get of --transfer-mib vs curl, s3cmd, rclone, awscli, libs3's s3
  tree       --tree-files files of --tree-kib: quilo put -r, get -r, sync (twice) vs
             aws s3 sync, rclone sync and the RGW ceiling (curl -Z PUTs, signed)
  scale      for each of --scale-keys (not run unless asked for): a tree of that many files
             of 100 bytes, a hundred to a folder: the first sync up, ls of every key, a sync
             with nothing to do and rm -r, quilo vs aws s3 and rclone, time and peak RSS
  proxy      the delay proxy's own cost: curl direct vs through it unshaped, and shaped
  wan        the same as --wan
With --wan the chosen sections (default small,transfers) go through the delay proxy, which
holds each direction's bytes --delay-ms and caps each connection at --rate-mib.
RGW's memstore must hold the largest object several times over while garbage collection
catches up (QUILO_RGW_MEMSTORE_BYTES for scripts/rgw.sh, 6 GiB by default).)";

void addTargetOptions(CLI::App& app, Settings& s) {
    app.add_option("--endpoint", s.endpoint, "RGW host:port")
        ->envname("QUILO_TEST_RGW_HOST")
        ->capture_default_str();
    app.add_option("--access-key", s.accessKey)->envname("QUILO_TEST_ACCESS_KEY");
    app.add_option("--secret-key", s.secretKey)->envname("QUILO_TEST_SECRET_KEY");
    app.add_option("--region", s.region)->envname("QUILO_TEST_REGION")->capture_default_str();
    app.add_option("--quilo", s.quiloTool, "The quilo tool (default: next to this build)");
    app.add_option("--work-dir", s.workDir, "Where test files go")->capture_default_str();
}

void addSizeOptions(CLI::App& app, Settings& s) {
    app.add_option("--rounds", s.rounds, "Rounds per row")->capture_default_str();
    app.add_option("--requests", s.requests, "Small requests per round")->capture_default_str();
    app.add_option("--concurrency", s.concurrency, "Small requests at once")->capture_default_str();
    app.add_option("--transfer-mib", s.transferMiB, "Size of the large transfers, 0 for none")
        ->capture_default_str();
    app.add_option("--rss-gib", s.rssGiB, "Size of one more transfer table, 0 for none")
        ->capture_default_str();
    app.add_option("--rss-rounds", s.rssRounds, "Rounds of that table")->capture_default_str();
    app.add_option("--tree-files", s.treeFiles, "Files in the tree")->capture_default_str();
    app.add_option("--tree-kib", s.treeKiB, "Size of each file")->capture_default_str();
    app.add_option("--tree-rounds", s.treeRounds, "Rounds of the tree section")
        ->capture_default_str();
    app.add_option("--tree-jobs", s.treeJobs,
                   "Transfers at once for every tree client (0: each one's default)")
        ->capture_default_str();
    app.add_option("--scale-keys", s.scaleKeys, "Sizes of the scale section's trees")
        ->delimiter(',')
        ->capture_default_str();
    app.add_option_function<std::string>(
           "--peers", [&s](const std::string& value) { s.peers = value == "all"; },
           "all, or none: the tree and scale sections without awscli's and rclone's rows, "
           "which take long with many files")
        ->check(CLI::IsMember({"all", "none"}));
}

void addWanOptions(CLI::App& app, Settings& s) {
    app.add_flag("--wan", s.wan, "Run the sections through the delay proxy");
    app.add_option("--delay-ms", s.delayMs, "One-way delay of each direction")
        ->capture_default_str();
    app.add_option("--rate-mib", s.rateMiB, "Cap per connection and direction, 0 for none")
        ->capture_default_str();
    app.add_option("--proxy-for", s.proxyForSeconds,
                   "Only run the proxy to the endpoint for this many seconds, for use by hand");
}

// The child side of a measured library job: not for people.
void addJobOptions(CLI::App& app, Settings& s) {
    auto* name = app.add_option("--child-job")->group("");
    name->each([&s](const std::string& value) {
        s.job.emplace();
        s.job->name = value;
    });
    for (const auto& option : {std::pair{"--child-bucket", &LibraryJob::bucket},
                               {"--child-key", &LibraryJob::key},
                               {"--child-file", &LibraryJob::file},
                               {"--child-threshold", &LibraryJob::threshold}}) {
        app.add_option(option.first)
            ->group("")
            ->needs(name)
            ->each(
                [&s, field = option.second](const std::string& value) { (*s.job).*field = value; });
    }
    app.add_option("--child-verify")->group("")->needs(name)->each([&s](const std::string& value) {
        s.job->verify = value != "0";
    });
}

}  // namespace

std::optional<int> parse(int argc, char** argv, Settings& s) {
    CLI::App app(description, "quilo_bench");
    std::vector<std::string> only;
    app.add_option("--only", only, "Sections to run")
        ->delimiter(',')
        ->check(CLI::IsMember({"small", "transfers", "tool", "tree", "scale", "proxy", "wan"}));
    addTargetOptions(app, s);
    addSizeOptions(app, s);
    addWanOptions(app, s);
    addJobOptions(app, s);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    s.sections = {only.begin(), only.end()};
    if (s.sections.erase("wan")) {
        s.wan = true;
    }
    const bool clients = std::any_of(s.sections.begin(), s.sections.end(),
                                     [](const std::string& name) { return name != "proxy"; });
    if (s.wan && !clients) {
        s.sections.insert({"small", "transfers"});
    } else if (s.sections.empty()) {
        s.sections = {"small", "transfers", "tool", "tree"};
    }
    return std::nullopt;
}

}  // namespace bench

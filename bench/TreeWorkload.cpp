#include <fstream>

#include "Fixtures.hpp"
#include "Workloads.hpp"

namespace bench {

namespace {

constexpr const char* ceiling = "curl -Z PUTs, signed (RGW ceiling)";

struct Tree {
    std::string root;
    std::vector<TreeFile> files;
    TreeSize size;
};

int ceilingJobs(const Settings& s) {
    return s.treeJobs > 0 ? s.treeJobs : 16;
}

// One curl -Z run of signed PUTs, one group per file, since each has its own payload hash.
void writeCeilingConfig(const std::string& path, const Peers& peers, const Tree& tree,
                        const std::string& bucket) {
    const Credentials& c = peers.credentials();
    std::ofstream out(path, std::ios::trunc);
    for (const auto& file : tree.files) {
        out << (&file == &tree.files.front() ? "" : "next\n")
            << "silent\nshow-error\nfail\noutput = \"/dev/null\"\n"
            << "aws-sigv4 = \"aws:amz:" << c.region << ":s3\"\n"
            << "user = \"" << c.accessKey << ':' << c.secretKey << "\"\n"
            << "header = \"x-amz-content-sha256: " << file.sha256 << "\"\n"
            << "upload-file = \"" << tree.root << '/' << file.path << "\"\n"
            << "url = \"" << peers.url("/" + bucket + "/tree/" + file.path) << "\"\n";
    }
}

// One round: fresh buckets, the jobs that fill and read them, and their removal at the end.
class TreeRound {
  public:
    TreeRound(Context& context, const Tree& tree) : context_(context), tree_(tree) {}
    ~TreeRound() {
        for (const auto& bucket : buckets_) {
            context_.purge(bucket);
        }
    }
    std::vector<Job> jobs();

  private:
    std::string bucket(const std::string& tag) {
        return buckets_.emplace_back(context_.makeBucket(tag));
    }
    Job upload(const std::string& label, Command command, const std::string& bucket) const;
    Job download(const std::string& label, Command command, const std::string& tag) const;
    void addQuilo(std::vector<Job>& jobs, const std::string& source);
    Command quilo(std::vector<std::string> args) const;
    Command aws(std::vector<std::string> args) const;
    Command rclone(std::vector<std::string> args) const;

    Context& context_;
    const Tree& tree_;
    std::vector<std::string> buckets_;
};

Job TreeRound::upload(const std::string& label, Command command, const std::string& bucket) const {
    const auto want = tree_.size.files;
    return {label, std::move(command), [] {},
            [this, bucket, want](Measurement& m) {
                const auto count = context_.count(bucket);
                check(m, count == want,
                      format("the bucket holds %lld objects, not %llu",
                             count ? static_cast<long long>(*count) : -1LL,
                             static_cast<unsigned long long>(want)));
            }};
}

Job TreeRound::download(const std::string& label, Command command, const std::string& tag) const {
    const std::string out = context_.scratch() + "/tree-" + tag;
    command.argv.push_back(out);
    const TreeSize want = tree_.size;
    return {label, std::move(command), [out] { removeAll(out); },
            [out, want](Measurement& m) {
                const TreeSize got = measureTree(out);
                check(m, got == want,
                      format("%llu files, %llu bytes written",
                             static_cast<unsigned long long>(got.files),
                             static_cast<unsigned long long>(got.bytes)));
                removeAll(out);
            }};
}

Command TreeRound::quilo(std::vector<std::string> args) const {
    const int jobs = context_.settings().treeJobs;
    if (jobs > 0) {
        args.insert(args.begin(), {"--jobs", std::to_string(jobs)});
    }
    return context_.peers().run(Tool::quilo, args);
}

Command TreeRound::aws(std::vector<std::string> args) const {
    const std::string config = context_.scratch() + "/aws-tree.cfg";
    const int jobs = context_.settings().treeJobs;
    std::ofstream(config, std::ios::trunc)
        << (jobs > 0 ? "[default]\ns3 =\n  max_concurrent_requests = " + std::to_string(jobs) + "\n"
                     : "");
    args.insert(args.begin(), {"s3", "sync", "--no-progress"});
    Command command = context_.peers().run(Tool::aws, args);
    command.env["AWS_CONFIG_FILE"] = config;
    return command;
}

Command TreeRound::rclone(std::vector<std::string> args) const {
    const int jobs = context_.settings().treeJobs;
    args.insert(args.begin(), "sync");
    if (jobs > 0) {
        args.insert(args.end(), {"--transfers", std::to_string(jobs)});
    }
    return context_.peers().run(Tool::rclone, args);
}

void TreeRound::addQuilo(std::vector<Job>& jobs, const std::string& source) {
    const Peers& peers = context_.peers();
    const std::string& root = tree_.root;
    if (quiloHas(peers, "put -r")) {
        const std::string b = bucket("put");
        jobs.push_back(
            upload("quilo put -r", quilo({"put", "-r", root, "s3://" + b + "/tree/"}), b));
    } else {
        jobs.push_back(skippedJob("quilo put -r", "quilo has no put -r"));
    }
    if (quiloHas(peers, "sync")) {
        const std::string b = bucket("sync");
        const Command sync = quilo({"sync", root, "s3://" + b + "/tree/"});
        jobs.push_back(upload("quilo sync (first run)", sync, b));
        jobs.push_back(upload("quilo sync (nothing to do)", sync, b));
    } else {
        jobs.push_back(skippedJob("quilo sync (first run)", "quilo has no sync"));
        jobs.push_back(skippedJob("quilo sync (nothing to do)", "quilo has no sync"));
    }
    if (quiloHas(peers, "get -r")) {
        jobs.push_back(
            download("quilo get -r", quilo({"get", "-r", "s3://" + source + "/tree/"}), "quilo"));
    } else {
        jobs.push_back(skippedJob("quilo get -r", "quilo has no get -r"));
    }
}

std::vector<Job> TreeRound::jobs() {
    const Peers& peers = context_.peers();
    const std::string source = bucket("ceiling");
    const std::string config = context_.scratch() + "/ceiling.cfg";
    writeCeilingConfig(config, peers, tree_, source);
    std::vector<Job> jobs{upload(
        ceiling,
        peers.run(Tool::curl, {"-Z", "--parallel-max",
                               std::to_string(ceilingJobs(context_.settings())), "-K", config}),
        source)};
    addQuilo(jobs, source);
    const std::string& root = tree_.root;
    const auto awsOut = leftOut(context_, Tool::aws), rcloneOut = leftOut(context_, Tool::rclone);
    if (!awsOut) {
        const std::string b = bucket("aws");
        const Command up = aws({root, "s3://" + b + "/tree/"});
        jobs.push_back(upload("aws s3 sync (first run)", up, b));
        jobs.push_back(upload("aws s3 sync (nothing to do)", up, b));
        jobs.push_back(download("aws s3 sync (down)", aws({"s3://" + source + "/tree/"}), "aws"));
    } else {
        for (const char* label :
             {"aws s3 sync (first run)", "aws s3 sync (nothing to do)", "aws s3 sync (down)"}) {
            jobs.push_back(skippedJob(label, *awsOut));
        }
    }
    // Every key of the tree, listed page by page; the output is thrown away.
    jobs.push_back({"quilo ls --recursive", quilo({"ls", "--recursive", "s3://" + source})});
    jobs.push_back(awsOut
                       ? skippedJob("aws s3 ls --recursive", *awsOut)
                       : Job{"aws s3 ls --recursive",
                             peers.run(Tool::aws, {"s3", "ls", "--recursive", "s3://" + source})});
    if (!rcloneOut) {
        const std::string b = bucket("rclone");
        const Command up = rclone({root, "bench:" + b + "/tree"});
        jobs.push_back(upload("rclone sync (first run)", up, b));
        jobs.push_back(upload("rclone sync (nothing to do)", up, b));
        jobs.push_back(
            download("rclone sync (down)", rclone({"bench:" + source + "/tree"}), "rclone"));
    } else {
        for (const char* label :
             {"rclone sync (first run)", "rclone sync (nothing to do)", "rclone sync (down)"}) {
            jobs.push_back(skippedJob(label, *rcloneOut));
        }
    }
    return jobs;
}

void askRatios(Table& table) {
    for (const char* peer : {"aws s3 sync (first run)", "rclone sync (first run)", ceiling}) {
        table.ratio("quilo sync (first run)", peer);
        table.ratio("quilo put -r", peer);
    }
    table.ratio("quilo sync (nothing to do)", "aws s3 sync (nothing to do)");
    table.ratio("quilo sync (nothing to do)", "rclone sync (nothing to do)");
    table.ratio("quilo get -r", "aws s3 sync (down)");
    table.ratio("quilo get -r", "rclone sync (down)");
    table.ratio("quilo ls --recursive", "aws s3 ls --recursive");
}

}  // namespace

std::optional<std::string> leftOut(const Context& context, Tool tool) {
    if (!context.settings().peers && tool != Tool::quilo) {
        return "--peers none";
    }
    if (!context.peers().has(tool)) {
        return context.peers().binary(tool).name + " not found";
    }
    return std::nullopt;
}

void runTree(Context& context) {
    const Settings& s = context.settings();
    Tree tree{context.scratch() + "/tree", {}, {}};
    tree.files = makeTree(tree.root, s.treeFiles, static_cast<std::uint64_t>(s.treeKiB) << 10);
    tree.size = measureTree(tree.root);
    Table table(format("A tree of %d files of %d KiB, %s (best of %d)", s.treeFiles, s.treeKiB,
                       context.profile().c_str(), s.treeRounds),
                "files", s.treeFiles);
    table.note(s.treeJobs > 0 ? format("every client moves %d files at once", s.treeJobs)
                              : "each client at its own default concurrency");
    table.note(
        format("ceiling: one curl -Z --parallel-max %d of signed PUTs, the payload hashes "
               "computed beforehand; downloads read what it put",
               ceilingJobs(s)));
    for (int round = 0; round < s.treeRounds; ++round) {
        TreeRound r(context, tree);
        context.runRounds(table, r.jobs(), 1);
    }
    askRatios(table);
    table.print();
    removeAll(tree.root);
}

}  // namespace bench

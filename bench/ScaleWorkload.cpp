#include "Fixtures.hpp"
#include "Workloads.hpp"

namespace bench {

namespace {

// What each client runs, in this order, on a bucket of its own.
// Sync down goes into the tree it came from: by size alone, nothing differs.
const char* const steps[] = {"sync (first run)", "ls --recursive", "sync (nothing to do)",
                             "sync down (nothing to do)", "rm -r"};
constexpr int kSteps = sizeof(steps) / sizeof(steps[0]);

struct Client {
    Tool tool;
    const char* name;
    // The command of a step, given the local tree and the folder's URL in the client's form.
    std::vector<std::string> (*args)(int step, const std::string& tree, const std::string& folder);
    std::string (*folder)(const std::string& bucket);
};

std::vector<std::string> quiloArgs(int step, const std::string& tree, const std::string& folder) {
    switch (step) {
        case 1:
            return {"ls", "--recursive", folder};
        case 3:
            return {"--no-progress", "sync", "--size-only", folder, tree};
        case 4:
            return {"--no-progress", "rm", "-r", folder};
        default:
            return {"--no-progress", "sync", tree, folder};
    }
}

std::vector<std::string> awsArgs(int step, const std::string& tree, const std::string& folder) {
    switch (step) {
        case 1:
            return {"s3", "ls", "--recursive", folder};
        case 3:
            return {"s3", "sync", "--only-show-errors", "--size-only", folder, tree};
        case 4:
            return {"s3", "rm", "--only-show-errors", "--recursive", folder};
        default:
            return {"s3", "sync", "--only-show-errors", tree, folder};
    }
}

std::vector<std::string> rcloneArgs(int step, const std::string& tree, const std::string& folder) {
    switch (step) {
        case 1:
            return {"ls", folder};
        case 3:
            return {"sync", "--size-only", folder, tree};
        case 4:
            return {"delete", folder};
        default:
            return {"sync", tree, folder};
    }
}

const Client clients[] = {
    {Tool::quilo, "quilo", quiloArgs, [](const std::string& b) { return "s3://" + b + "/t/"; }},
    {Tool::aws, "aws s3", awsArgs, [](const std::string& b) { return "s3://" + b + "/t/"; }},
    {Tool::rclone, "rclone", rcloneArgs, [](const std::string& b) { return "bench:" + b + "/t"; }},
};

std::string label(const Client& client, int step) {
    return std::string(client.name) + " " + steps[step];
}

// The bucket must hold `want` objects once the step is over.
std::function<void(Measurement&)> holds(const Context& context, const std::string& bucket,
                                        std::uint64_t want) {
    return [&context, bucket, want](Measurement& m) {
        const auto count = context.count(bucket);
        check(m, count == want,
              format("the bucket holds %lld objects, not %llu",
                     count ? static_cast<long long>(*count) : -1LL,
                     static_cast<unsigned long long>(want)));
    };
}

void runSize(Context& context, int keys) {
    const std::string root = context.scratch() + "/scale";
    makeTree(root, keys, 100);
    Table table(
        format("%d keys of 100 bytes, a hundred to a folder, %s", keys, context.profile().c_str()),
        "keys", keys);
    table.note("each client at its own default concurrency; one round");
    std::vector<std::string> buckets;
    std::vector<Job> jobs;
    for (const auto& client : clients) {
        if (const auto reason = leftOut(context, client.tool)) {
            for (int step = 0; step < kSteps; ++step)
                jobs.push_back(skippedJob(label(client, step), *reason));
            continue;
        }
        const std::string bucket = buckets.emplace_back(context.makeBucket("scale"));
        for (int step = 0; step < kSteps; ++step) {
            const auto args = client.args(step, root, client.folder(bucket));
            const std::uint64_t want = step == kSteps - 1 ? 0 : static_cast<std::uint64_t>(keys);
            jobs.push_back({label(client, step), context.peers().run(client.tool, args), [] {},
                            holds(context, bucket, want)});
        }
    }
    context.runRounds(table, jobs, 1);
    for (int step = 0; step < kSteps; ++step) {
        table.ratio(label(clients[0], step), label(clients[1], step));
        table.ratio(label(clients[0], step), label(clients[2], step));
        context.targets().add(table, label(clients[0], step), label(clients[1], step),
                              Targets::Kind::rate, 2.0);
        context.targets().add(table, label(clients[0], step), label(clients[2], step),
                              Targets::Kind::rate, 1.0);
    }
    context.targets().rss(table, "quilo", 64);
    table.print();
    for (const auto& bucket : buckets)
        context.purge(bucket);
    removeAll(root);
}

}  // namespace

void runScale(Context& context) {
    for (const int keys : context.settings().scaleKeys)
        runSize(context, keys);
}

}  // namespace bench

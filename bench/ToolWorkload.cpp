#include "Fixtures.hpp"
#include "Workloads.hpp"

namespace bench {

namespace {

struct Row {
    Tool tool;
    std::string label;
    Command command;
    bool download;
    const char* ours = nullptr;  // the quilo row it is held against, when not get or put
};

// `command` reading `file` from a pipe, as it would another program's output.
Command fromPipe(const std::string& file, Command command) {
    command.argv.insert(command.argv.begin(), {"bash", "-c", "cat \"$0\" | \"$@\"", file});
    return command;
}

// Every client's upload of source to a key of its own, and download of the same object (put in
// one piece, so that those that verify can) into copy.
std::vector<Row> toolRows(const Context& context, const std::string& source,
                          const std::string& copy) {
    const Peers& p = context.peers();
    const std::string& b = context.bucket();
    const std::string object = b + "/tool-source";
    return {
        {Tool::quilo, "quilo put", p.run(Tool::quilo, {"put", source, "s3://" + b + "/quilo"}),
         false},
        {Tool::curl, "curl -T, UNSIGNED-PAYLOAD", p.curlUnsignedPut(source, p.url("/" + b + "/c")),
         false},
        {Tool::curl, "curl -T, signed payload", p.curlSignedPut(source, p.url("/" + b + "/c")),
         false},
        {Tool::s3cmd, "s3cmd put",
         p.run(Tool::s3cmd, {"--no-progress", "put", source, "s3://" + b + "/s3cmd"}), false},
        {Tool::rclone, "rclone copyto (up)",
         p.run(Tool::rclone, {"copyto", "--ignore-times", source, "bench:" + b + "/rclone"}),
         false},
        {Tool::aws, "aws s3 cp (up)",
         p.run(Tool::aws, {"s3", "cp", "--no-progress", source, "s3://" + b + "/aws"}), false},
        {Tool::libs3, "s3 put (libs3)",
         p.run(Tool::libs3, {"put", b + "/s3", "filename=" + source}), false},
        {Tool::quilo, "quilo get", p.run(Tool::quilo, {"get", "s3://" + object, copy}), true},
        {Tool::curl, "curl -o",
         p.run(Tool::curl,
               {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-o", copy, p.url("/" + object)}),
         true},
        {Tool::s3cmd, "s3cmd get",
         p.run(Tool::s3cmd, {"--no-progress", "get", "--force", "s3://" + object, copy}), true},
        {Tool::rclone, "rclone copyto (down)",
         p.run(Tool::rclone, {"copyto", "--ignore-times", "bench:" + object, copy}), true},
        {Tool::aws, "aws s3 cp (down)",
         p.run(Tool::aws, {"s3", "cp", "--no-progress", "s3://" + object, copy}), true},
        {Tool::libs3, "s3 get (libs3)", p.run(Tool::libs3, {"get", object, "filename=" + copy}),
         true},
        // To standard output, which the bench throws away.
        {Tool::quilo, "quilo cat", p.run(Tool::quilo, {"cat", "s3://" + object}), false},
        {Tool::curl, "curl (stdout)",
         p.run(Tool::curl, {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", p.url("/" + object)}),
         false, "quilo cat"},
        {Tool::aws, "aws s3 cp ... -",
         p.run(Tool::aws, {"s3", "cp", "--no-progress", "s3://" + object, "-"}), false,
         "quilo cat"},
        // From standard input, of a length unknown until it ends.
        {Tool::quilo, "quilo put -",
         fromPipe(source, p.run(Tool::quilo, {"put", "-", "s3://" + b + "/quilo-stream"})), false},
        {Tool::aws, "aws s3 cp - ...",
         fromPipe(source, p.run(Tool::aws, {"s3", "cp", "-", "s3://" + b + "/aws-stream"})), false,
         "quilo put -"},
    };
}

// Ahead of every client that verifies what it moves; against those that do not, no further
// behind than the library's own targets (and, for an upload against unsigned peers, than the
// library itself reached in this run).
void addTargets(Context& context, const Table& table) {
    using Kind = Targets::Kind;
    Targets& targets = context.targets();
    for (const char* peer : {"s3cmd put", "rclone copyto (up)", "aws s3 cp (up)"}) {
        targets.add(table, "quilo put", peer, Kind::rate, 1.0);
    }
    for (const char* peer : {"s3cmd get", "rclone copyto (down)", "aws s3 cp (down)"}) {
        targets.add(table, "quilo get", peer, Kind::rate, 1.0);
    }
    targets.add(table, "quilo put", "curl -T, signed payload", Kind::rate, 1.0);
    if (const auto reached = context.reached(uploadRatioName(context.settings().transferMiB))) {
        targets.add(table, "quilo put", "curl -T, UNSIGNED-PAYLOAD", Kind::rate, *reached);
        targets.add(table, "quilo put", "s3 put (libs3)", Kind::rate, *reached);
    }
    targets.add(table, "quilo get", "curl -o", Kind::rate, 0.85);
    targets.add(table, "quilo cat", "curl (stdout)", Kind::rate, 0.9);
    targets.add(table, "quilo cat", "aws s3 cp ... -", Kind::rate, 1.0);
    targets.add(table, "quilo put -", "quilo put", Kind::rate, 0.9);
    targets.add(table, "quilo put -", "aws s3 cp - ...", Kind::rate, 1.0);
    targets.add(table, "quilo get", "s3 get (libs3)", Kind::rate, 0.85);
    targets.rss(table, "quilo", 64);
}

}  // namespace

void runTool(Context& context) {
    const Settings& s = context.settings();
    const Peers& peers = context.peers();
    const std::string source = context.scratch() + "/tool.bin";
    const std::string copy = context.scratch() + "/tool.down";
    const auto bytes = s.transferMiB << 20;
    makeFile(source, bytes);
    Table table(
        format("%llu MiB through each client's command line, %s (best of %d)",
               static_cast<unsigned long long>(s.transferMiB), context.profile().c_str(), s.rounds),
        "MiB", static_cast<double>(s.transferMiB));
    table.note("downloads read one object that curl put in one piece: a plain MD5 ETag");
    if (!measure(peers.curlUnsignedPut(source, peers.url("/" + context.bucket() + "/tool-source")))
             .ok) {
        table.note("could not put the object the downloads read");
    }
    std::vector<Job> jobs;
    for (auto& row : toolRows(context, source, copy)) {
        if (!peers.has(row.tool)) {
            jobs.push_back(skippedJob(row.label, peers.binary(row.tool).name + " not found"));
            continue;
        }
        Job job{row.label, row.command};
        if (row.download) {
            job.before = [copy] { removeAll(copy); };
            job.verify = [copy, bytes](Measurement& m) {
                check(m, fileSize(copy) == bytes, "wrong size");
            };
        }
        const char* ours = row.ours ? row.ours : row.download ? "quilo get" : "quilo put";
        if (row.tool != Tool::quilo) {
            table.ratio(ours, row.label);
        }
        jobs.push_back(std::move(job));
    }
    table.ratio("quilo put -", "quilo put");
    context.runRounds(table, jobs, s.rounds);
    table.print();
    addTargets(context, table);
    removeAll(source);
    removeAll(copy);
}

}  // namespace bench

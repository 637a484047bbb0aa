#include <cstdint>

#include <quilo/quilo.hpp>

#include "Fixtures.hpp"
#include "Workloads.hpp"

namespace bench {

void runSmall(Context& context) {
    const Settings& s = context.settings();
    const Peers& peers = context.peers();
    const std::string curlLabel = format("curl -Z --parallel-max %d", s.concurrency);
    Command curl = peers.run(
        Tool::curl, {"-Z", "--parallel-max", std::to_string(s.concurrency), "--head", "--output",
                     "/dev/null", "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD"});
    for (int i = 0; i < s.requests; ++i) {
        curl.argv.push_back(peers.url("/" + context.bucket()));
    }
    Table table(format("%d HEAD-bucket requests at concurrency %d, %s (best of %d)", s.requests,
                       s.concurrency, context.profile().c_str(), s.rounds),
                "req", s.requests);
    const std::string callables = "quilo getBucketMeta", future = callables + ", use_future",
                      awaitable = callables + ", use_awaitable";
    context.runRounds(
        table,
        {{callables, context.library({.name = "heads", .bucket = context.bucket()})},
         {future, context.library({.name = "heads-future", .bucket = context.bucket()})},
         {awaitable, context.library({.name = "heads-awaitable", .bucket = context.bucket()})},
         {curlLabel, curl}},
        s.rounds);
    table.ratio(callables, curlLabel);
    using Kind = Targets::Kind;
    context.targets().add(table, callables, curlLabel, Kind::rate, s.wan ? 1.0 : 1.1);
    if (!s.wan) {
        context.targets().add(table, callables, curlLabel, Kind::cpu, 1.0);
    }
    // The tokens ride on the callables: within 5% of their rate and CPU.
    for (const auto& token : {future, awaitable}) {
        table.ratio(token, callables);
        context.targets().add(table, token, callables, Kind::rate, 0.95);
        context.targets().add(table, token, callables, Kind::cpu, 1.05);
    }
    table.print();
}

namespace {

// Uploads, each of them, then downloads of what the last one (curl, in one piece) put: a plain
// MD5 ETag, so that the download's check has something to check.
std::vector<Job> transferJobs(const Context& context, const std::string& source,
                              const std::string& copy, const std::string& key) {
    const Peers& peers = context.peers();
    const std::string url = peers.url("/" + context.bucket() + "/" + key);
    const LibraryJob upload{"upload", context.bucket(), key, source};
    LibraryJob oneStream = upload, bare = upload;
    oneStream.threshold = bare.threshold = std::to_string(UINT64_MAX);
    bare.verify = false;
    const LibraryJob download{"download", context.bucket(), key, copy};
    LibraryJob bareDownload = download, oneDownload = download;
    bareDownload.verify = false;
    oneDownload.threshold = oneStream.threshold;
    const std::uint64_t bytes = fileSize(source);
    auto same = [copy, bytes](Measurement& m) { check(m, fileSize(copy) == bytes, "wrong size"); };
    auto fresh = [copy] { removeAll(copy); };
    return {
        {"quilo upload (default)", context.library(upload)},
        {"quilo upload, one stream", context.library(oneStream)},
        {"quilo upload, one stream, checks off", context.library(bare)},
        {"curl -T, UNSIGNED-PAYLOAD", peers.curlUnsignedPut(source, url)},
        {"curl -T, signed payload", peers.curlSignedPut(source, url)},
        {"quilo download (default)", context.library(download), fresh, same},
        {"quilo download, one stream", context.library(oneDownload), fresh, same},
        {"quilo download, checks off", context.library(bareDownload), fresh, same},
        {"curl -o",
         peers.run(Tool::curl, {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-o", copy, url}),
         fresh, same}};
}

// Loopback: at curl's pace or better, the check included where the issue says; through the
// delay proxy: three times curl's single stream.
void addTargets(Context& context, const Table& table) {
    using Kind = Targets::Kind;
    Targets& targets = context.targets();
    if (context.settings().wan) {
        targets.add(table, "quilo upload (default)", "curl -T, UNSIGNED-PAYLOAD", Kind::rate, 3.0);
        targets.add(table, "quilo download (default)", "curl -o", Kind::rate, 3.0);
    } else {
        targets.add(table, "quilo download, checks off", "curl -o", Kind::rate, 1.0);
        targets.add(table, "quilo download, checks off", "curl -o", Kind::cpu, 1.1);
        targets.add(table, "quilo download (default)", "curl -o", Kind::rate, 0.85);
        targets.add(table, "quilo upload (default)", "curl -T, signed payload", Kind::rate, 1.0);
        targets.add(table, "quilo upload (default)", "quilo upload, one stream", Kind::rate, 1.0);
    }
    targets.rss(table, "quilo", 64);
}

void transfer(Context& context, std::uint64_t mib, int rounds) {
    const std::string source = context.scratch() + "/transfer.bin";
    const std::string copy = context.scratch() + "/transfer.down";
    makeFile(source, mib << 20);
    Table table(format("%llu MiB transfers, %s (best of %d)", static_cast<unsigned long long>(mib),
                       context.profile().c_str(), rounds),
                "MiB", static_cast<double>(mib));
    table.note(
        format("library defaults: parts above %llu MiB, %llu MiB each, %d at once; curl's "
               "signed row includes hashing the file with openssl",
               static_cast<unsigned long long>(quilo::S3ObjectRequest::multipartThreshold() >> 20),
               static_cast<unsigned long long>(quilo::S3ObjectRequest::multipartPartSize() >> 20),
               quilo::S3ObjectRequest::multipartConcurrency()));
    const std::string key = format("transfer-%llu", static_cast<unsigned long long>(mib));
    context.runRounds(table, transferJobs(context, source, copy, key), rounds);
    for (const char* curl : {"curl -T, signed payload", "curl -T, UNSIGNED-PAYLOAD"}) {
        table.ratio("quilo upload (default)", curl);
        table.ratio("quilo upload, one stream", curl);
    }
    table.ratio("quilo upload, one stream, checks off", "curl -T, UNSIGNED-PAYLOAD");
    table.ratio("quilo download (default)", "curl -o");
    table.ratio("quilo download, one stream", "curl -o");
    table.ratio("quilo download, checks off", "curl -o");
    table.print();
    addTargets(context, table);
    // What the tool's rows of the same size are held to against the peers that do not verify.
    const auto upload = table.ratioOf("quilo upload (default)", "curl -T, UNSIGNED-PAYLOAD");
    context.remember(uploadRatioName(mib), upload ? std::optional(upload->rate) : std::nullopt);
    removeAll(source);
    removeAll(copy);
}

}  // namespace

std::string uploadRatioName(std::uint64_t mib) {
    return format("upload / unsigned, %llu MiB", static_cast<unsigned long long>(mib));
}

void runTransfers(Context& context) {
    const Settings& s = context.settings();
    if (s.transferMiB > 0) {
        transfer(context, s.transferMiB, s.rounds);
    }
    if (s.rssGiB > 0) {
        transfer(context, s.rssGiB << 10, s.rssRounds);
    }
}

}  // namespace bench

#include "DelayProxy.hpp"
#include "Fixtures.hpp"
#include "Workloads.hpp"

namespace bench {

namespace {

std::unique_ptr<ProxyProcess> startProxy(const Settings& s, const Shape& shape) {
    std::string error;
    auto proxy = ProxyProcess::start(s.endpoint, shape, proxyLifetimeSeconds, error);
    if (!proxy) {
        note("cannot start the delay proxy: " + error);
    }
    return proxy;
}

// curl through the proxy without delay or cap, beside curl direct: what relaying costs.
void relayCost(Context& context, const std::string& file, const std::string& copy) {
    const Settings& s = context.settings();
    auto proxy = startProxy(s, {0, 0});
    if (!proxy) {
        return;
    }
    const Peers& peers = context.peers();
    const std::string path = "/" + context.bucket() + "/proxy-object";
    const std::string direct = peers.url(path), via = "http://" + proxy->endpoint() + path;
    auto get = [&](const std::string& url) {
        return peers.run(Tool::curl,
                         {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-o", copy, url});
    };
    Table table(format("%llu MiB with curl, direct and through the proxy unshaped (best of %d)",
                       static_cast<unsigned long long>(s.transferMiB), s.rounds),
                "MiB", static_cast<double>(s.transferMiB));
    context.runRounds(table,
                      {{"curl -T, direct", peers.curlUnsignedPut(file, direct)},
                       {"curl -T, through the proxy", peers.curlUnsignedPut(file, via)},
                       {"curl -o, direct", get(direct)},
                       {"curl -o, through the proxy", get(via)}},
                      s.rounds);
    table.ratio("curl -T, through the proxy", "curl -T, direct");
    table.ratio("curl -o, through the proxy", "curl -o, direct");
    const ProxyStats stats = proxy->stop();
    table.print();
    note(describe(stats));
}

// The shaped proxy against its model: the rate reaches the cap, a request pays its round trips.
void shapeCheck(Context& context, const std::string& copy) {
    const Settings& s = context.settings();
    const Shape shape{s.delayMs / 1000, s.rateMiB * 1048576};
    auto proxy = startProxy(s, shape);
    if (!proxy) {
        return;
    }
    const Peers& peers = context.peers();
    const std::string via = "http://" + proxy->endpoint() + "/" + context.bucket();
    Command heads = peers.run(Tool::curl, {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "--head",
                                           "--output", "/dev/null"});
    for (int i = 0; i < 20; ++i) {
        heads.argv.push_back(via);
    }
    const std::string shaped = describe(shape);
    Table requests(format("20 HEADs in turn with curl through the shaped proxy: %s (best of %d)",
                          shaped.c_str(), s.rounds),
                   "req", 20);
    requests.note(format("model: 2 round trips to connect and send, then one per request: %.0f ms",
                         22 * 2 * s.delayMs));
    context.runRounds(requests, {{"curl --head x20, one connection", heads}}, s.rounds);
    requests.print();
    Table download(format("%llu MiB with curl through the shaped proxy (best of %d)",
                          static_cast<unsigned long long>(s.transferMiB), s.rounds),
                   "MiB", static_cast<double>(s.transferMiB));
    download.note(format("model: the cap, %.1f MiB/s, less a few round trips", s.rateMiB));
    context.runRounds(
        download,
        {{"curl -o", peers.run(Tool::curl, {"-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-o",
                                            copy, via + "/proxy-object"})}},
        s.rounds);
    const ProxyStats stats = proxy->stop();
    download.print();
    note(describe(stats));
}

}  // namespace

void runProxy(Context& context) {
    const Settings& s = context.settings();
    const std::string file = context.scratch() + "/proxy.bin";
    const std::string copy = context.scratch() + "/proxy.down";
    makeFile(file, s.transferMiB << 20);
    relayCost(context, file, copy);
    shapeCheck(context, copy);
    removeAll(file);
    removeAll(copy);
}

}  // namespace bench

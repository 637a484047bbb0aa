// Measures quilo beside curl and the other S3 clients against the same server in one run; see
// --help for the sections. Defaults come from the environment that scripts/servers.sh exports.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "DelayProxy.hpp"
#include "Fixtures.hpp"
#include "LibraryJobs.hpp"
#include "Settings.hpp"
#include "Workloads.hpp"

namespace {

using namespace bench;

Shape shapeOf(const Settings& s) {
    return {s.delayMs / 1000, s.rateMiB * 1048576};
}

// The proxy alone, for measuring with other tools by hand.
int serveProxy(const Settings& s) {
    std::string error;
    auto proxy = ProxyProcess::start(s.endpoint, shapeOf(s), s.proxyForSeconds, error);
    if (!proxy) {
        std::cerr << error << '\n';
        return 1;
    }
    std::printf("relaying %s to %s for %d s: %s\n", proxy->endpoint().c_str(), s.endpoint.c_str(),
                s.proxyForSeconds, describe(shapeOf(s)).c_str());
    std::fflush(stdout);
    sleep(static_cast<unsigned>(s.proxyForSeconds));
    std::printf("%s\n", describe(proxy->stop()).c_str());
    return 0;
}

void runSections(Context& context, const Settings& s) {
    if (!context.ready()) {
        std::cerr << "cannot create a bucket at " << context.settings().endpoint << '\n';
        return;
    }
    context.peers().describe();
    const std::pair<const char*, void (*)(Context&)> sections[] = {{"small", runSmall},
                                                                   {"transfers", runTransfers},
                                                                   {"tool", runTool},
                                                                   {"tree", runTree},
                                                                   {"scale", runScale}};
    for (const auto& [name, run] : sections) {
        if (s.sections.count(name)) {
            run(context);
        }
    }
    context.targets().print(context.profile());
}

// The chosen sections with every client pointed at the delay proxy.
void runWan(const Settings& s, const std::string& scratch) {
    std::string error;
    auto proxy = ProxyProcess::start(s.endpoint, shapeOf(s), proxyLifetimeSeconds, error);
    if (!proxy) {
        std::cerr << "cannot start the delay proxy: " << error << '\n';
        return;
    }
    Settings target = s;
    target.endpoint = proxy->endpoint();
    {
        Context context(target, scratch, "WAN profile");
        std::printf(
            "WAN profile: every client talks to the delay proxy on %s, which relays to "
            "%s with %s\n",
            target.endpoint.c_str(), s.endpoint.c_str(), describe(shapeOf(s)).c_str());
        runSections(context, s);
    }
    std::printf("\nOver the whole WAN run, %s\n", describe(proxy->stop()).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    if (const auto status = parse(argc, argv, s)) {
        return *status;
    }
    if (s.job) {
        return runLibraryJob(s);
    }
    if (s.accessKey.empty()) {
        std::cerr << "no credentials: source .run/servers.env or pass --access-key\n";
        return 2;
    }
    if (s.proxyForSeconds > 0) {
        return serveProxy(s);
    }
    std::string scratch = s.workDir + "/quilo-bench-XXXXXX";
    if (!mkdtemp(scratch.data())) {
        std::cerr << "cannot make a folder in " << s.workDir << '\n';
        return 1;
    }
    const bool clients = std::any_of(s.sections.begin(), s.sections.end(),
                                     [](const std::string& name) { return name != "proxy"; });
    if (clients && s.wan) {
        runWan(s, scratch);
    } else if (clients) {
        Context context(s, scratch, "loopback");
        runSections(context, s);
    }
    if (s.sections.count("proxy")) {
        Context context(s, scratch, "loopback");
        runProxy(context);
    }
    removeAll(scratch);
    return 0;
}

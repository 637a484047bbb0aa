// quilo_exit_in_flight return|exit <bucket> <key of a large object> <download destination>
// leaves, by returning from main or through std::exit, while requests against RGW run and wait:
// it must exit at once, with status 0, and print nothing. Exits with 3 when they did not start.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/FaultServer.hpp"
#include "support/Servers.hpp"

// Outlives main: the network thread may still report progress while main's frame is gone.
static std::atomic<bool> downloadMoving{false};

int main(int argc, char** argv) try {
    using namespace quilo;
    const std::string how = argc == 5 ? argv[1] : "";
    if (how != "return" && how != "exit")
        return 2;
    const test::Server server = test::rgw();
    test::useServer(server);
    // Four at once: three stall, one downloads, and the rest wait in the queue.
    Quilo::GlobalConfig(server.accessKey, server.secretKey, false, 4);
    test::FaultServer stalling(
        [](const test::ServedRequest&) { return test::FaultAction::stall(); });
    std::vector<std::shared_ptr<HTTPRequest>> requests;
    for (int i = 0; i < 5; ++i) {
        if (i == 3)
            Quilo::sharedInstance()->downloadObject(
                {{"bucket", argv[2]}, {"key", argv[3]}, {"downloadDestinationPath", argv[4]}},
                {.progress = [](const auto&, std::uint64_t, std::uint64_t) {
                    downloadMoving = true;
                }});
        requests.push_back(
            std::make_shared<HTTPRequest>(stalling.url("/stall/" + std::to_string(i))));
        requests.back()->startAsynchronous();
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stalling.inProgress() < 3 || !downloadMoving ||
           HTTPRequest::sharedQueue().waitingCount() < 2) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "the requests did not get going: " << stalling.inProgress()
                      << " stalled, download " << (downloadMoving ? "moving" : "still") << ", "
                      << HTTPRequest::sharedQueue().waitingCount() << " waiting\n";
            return 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (how == "exit")
        std::exit(0);
    return 0;
} catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 3;
}

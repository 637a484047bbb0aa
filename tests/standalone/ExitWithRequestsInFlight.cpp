// Starts requests that cannot end soon, then leaves while they run: by returning from main, or
// through std::exit. The process must exit at once, with status 0, and print nothing.
//
//   quilo_exit_in_flight return|exit <bucket> <key of a large object> <download destination>
//
// Reads the RGW endpoint and keys from the QUILO_TEST_* variables. Exits with 2 on bad usage and
// 3 when the requests did not get going.

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

namespace {

// Outlives main: the network thread may still report progress while main's frame is gone.
std::atomic<bool> gDownloadMoving{false};

}  // namespace

int main(int argc, char** argv) {
    using namespace quilo;
    if (argc != 5 || (std::string(argv[1]) != "return" && std::string(argv[1]) != "exit")) {
        std::cerr << "usage: " << argv[0] << " return|exit <bucket> <key> <destination>\n";
        return 2;
    }
    try {
        const test::Server server = test::rgw();
        test::useServer(server);
        // Four at once: three stall, one downloads, and the rest wait in the queue.
        Quilo::GlobalConfig(server.accessKey, server.secretKey, false, 4);

        test::FaultServer stalling(
            [](const test::ServedRequest&) { return test::FaultAction::stall(); });
        std::vector<std::shared_ptr<HTTPRequest>> requests;
        for (int i = 0; i < 3; ++i) {
            auto request =
                std::make_shared<HTTPRequest>(stalling.url("/stall/" + std::to_string(i)));
            request->startAsynchronous();
            requests.push_back(request);
        }
        Quilo::sharedInstance()->downloadObject(
            {{"bucket", argv[2]}, {"key", argv[3]}, {"downloadDestinationPath", argv[4]}},
            {.progress = [](const auto&, std::uint64_t, std::uint64_t) {
                gDownloadMoving = true;
            }});
        for (int i = 0; i < 2; ++i) {
            auto request =
                std::make_shared<HTTPRequest>(stalling.url("/queued/" + std::to_string(i)));
            request->startAsynchronous();
            requests.push_back(request);
        }

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (stalling.inProgress() < 3 || !gDownloadMoving ||
               HTTPRequest::sharedQueue().waitingCount() < 2) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::cerr << "the requests did not get going: " << stalling.inProgress()
                          << " stalled, download " << (gDownloadMoving ? "moving" : "still") << ", "
                          << HTTPRequest::sharedQueue().waitingCount() << " waiting\n";
                return 3;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (std::string(argv[1]) == "exit")
            std::exit(0);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 3;
    }
}

#include <gtest/gtest.h>

#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "quilo/Client.hpp"

namespace quilo {
namespace {

// Runs in a process of its own: nothing may have touched the shared client before.
TEST(SharedInstance, ThreadsRacingOnFirstUseGetOneInstance) {
    constexpr int threadCount = 32;
    std::latch go(threadCount);
    std::vector<std::shared_ptr<Quilo>> seen(threadCount);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            go.arrive_and_wait();
            seen[i] = Quilo::sharedInstance();
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(seen[0]);
    for (const auto& instance : seen)
        EXPECT_EQ(instance, seen[0]);
    EXPECT_EQ(Quilo::sharedInstance(), seen[0]);
}

}  // namespace
}  // namespace quilo

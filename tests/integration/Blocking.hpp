#pragma once

// Blocking helpers for the integration tests: run an operation to its end, check how it ended,
// and keep files in a folder of the test's own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"

namespace quilo::test {

template <class R>
struct Ended : Outcome<R> {
    bool ok() const { return this->count(Event::finished) == 1 && this->count(Event::failed) == 0; }
};

// Starts an operation with `start(outcome)` and waits for its end; the short grace lets a wrong
// second call show.
template <class R, class Start>
Ended<R> ended(Start start, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    Ended<R> outcome;
    start(outcome);
    EXPECT_TRUE(outcome.waitForEnd(timeout, std::chrono::milliseconds(10)))
        << "the operation did not end: " << outcome.summary();
    return outcome;
}

//     op(client, &Quilo::deleteObject, {{"bucket", bucket}, {"key", key}})
template <class R, class Arg, template <class> class Set>
Ended<R> op(Quilo& client, void (Quilo::*operation)(const Arg&, Set<R>),
            const std::type_identity_t<Arg>& arg,
            std::chrono::seconds timeout = std::chrono::seconds(60)) {
    return ended<R>(
        [&](Outcome<R>& o) {
            if constexpr (std::is_same_v<Set<R>, TransferCallbacks<R>>)
                (client.*operation)(arg, o.transferCallbacks());
            else
                (client.*operation)(arg, o.callbacks());
        },
        timeout);
}

// failed called once and finished never, with an error of `kind`, `httpStatus` (0: no answer
// came; any when negative) and, unless empty, `code`.
template <class R>
::testing::AssertionResult failedOnce(const Outcome<R>& outcome, ErrorKind kind, int httpStatus = 0,
                                      const std::string& code = "") {
    const auto request = outcome.request();
    if (outcome.count(Event::failed) != 1 || outcome.count(Event::finished) != 0 || !request ||
        !request->error())
        return ::testing::AssertionFailure() << "not one failure: " << outcome.summary();
    const Error& error = *request->error();
    if (error.kind != kind || (httpStatus >= 0 && error.httpStatus != httpStatus) ||
        (!code.empty() && error.code != code))
        return ::testing::AssertionFailure()
               << "expected " << toString(kind) << " " << code << " (HTTP " << httpStatus
               << "), got " << error.description() << " (HTTP " << error.httpStatus << ")";
    return ::testing::AssertionSuccess();
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A folder of the test's own, removed with the object.
class TempDir {
  public:
    TempDir() { std::filesystem::create_directories(path_); }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `content` to a file of the folder; its path.
    std::string file(const std::string& name, const std::string& content) const {
        std::ofstream(path_ / name, std::ios::binary) << content;
        return (path_ / name).string();
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    static inline std::atomic<int> serial_{0};
    std::filesystem::path path_ =
        std::filesystem::temp_directory_path() /
        ("quilo-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++serial_));
};

}  // namespace quilo::test

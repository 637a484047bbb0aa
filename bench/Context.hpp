// What every section shares: where requests go, the clients, scratch space and the run's
// buckets, and the way rounds of jobs are run into a table.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Peers.hpp"
#include "Report.hpp"
#include "Settings.hpp"

namespace bench {

struct Job {
    std::string label;
    Command command;
    std::function<void()> before = [] {};                     // untimed set-up
    std::function<void(Measurement&)> verify = [](auto&) {};  // untimed check of the outcome
    std::string skipped{};                                    // why it cannot run, if it cannot
};

// A row that cannot run here, kept in its place among the others.
Job skippedJob(const std::string& label, const std::string& why);

class Context {
  public:
    // target: the settings with the endpoint requests go to (RGW, or the delay proxy).
    Context(const Settings& target, std::string scratch, std::string profile);

    const Settings& settings() const { return target_; }
    const Peers& peers() const { return peers_; }
    const std::string& scratch() const { return scratch_; }
    const std::string& profile() const { return profile_; }  // for the tables' titles
    const std::string& bucket() const { return bucket_; }    // for single objects
    bool ready() const { return !bucket_.empty(); }

    // This binary as a child running one library job against the target.
    Command library(const LibraryJob& job) const;
    // A new empty bucket whose name starts with tag; empty on failure.
    std::string makeBucket(const std::string& tag);
    // How many objects the bucket holds, or nullopt.
    std::optional<std::uint64_t> count(const std::string& bucket) const;
    // Deletes a bucket with everything in it; how many objects it held, or nullopt.
    std::optional<std::uint64_t> purge(const std::string& bucket) const;
    // Each round runs every job once, in order; each row keeps its best round.
    void runRounds(Table& table, const std::vector<Job>& jobs, int rounds) const;
    Targets& targets() { return targets_; }
    // A ratio one section reached, for another to hold its rows to.
    void remember(const std::string& name, std::optional<double> value) { reached_[name] = value; }
    std::optional<double> reached(const std::string& name) const {
        const auto found = reached_.find(name);
        return found == reached_.end() ? std::nullopt : found->second;
    }
    ~Context();

  private:
    Settings target_;
    std::string scratch_, profile_;
    Peers peers_;
    std::string bucket_;
    int buckets_ = 0;
    Targets targets_;
    std::map<std::string, std::optional<double>> reached_;
};

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench

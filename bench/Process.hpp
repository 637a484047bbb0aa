// Runs programs as child processes and measures each one: its wall time, CPU time and peak
// memory are its own and those of the children it waited for.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Command {
    std::vector<std::string> argv;
    // Applied in the child only: a value sets the variable, nullopt unsets it.
    std::map<std::string, std::optional<std::string>> env;
};

struct Measurement {
    double wallSeconds = 0;
    double cpuSeconds = 0;  // user + system
    // The whole machine's busy CPU time meanwhile (the server's, on loopback, is in it), so that
    // a row shows whether the machine, not the client, was the limit.
    double machineCpuSeconds = 0;
    long peakRssKiB = 0;
    bool ok = false;
    std::string note;  // why it failed: the end of the child's stderr, or the check that did

    // What the rest of the machine spent meanwhile; nullopt where a virtual machine's count falls
    // short of the child's own.
    std::optional<double> othersCpuSeconds() const {
        return machineCpuSeconds >= cpuSeconds ? std::optional(machineCpuSeconds - cpuSeconds)
                                               : std::nullopt;
    }
};

// Runs the command with stdout discarded and stderr kept for the note.
Measurement measure(const Command& command);

// Runs the command untimed and returns its stdout, or nullopt when it fails.
std::optional<std::string> capture(const Command& command);

// The fastest successful measurement, else the first.
Measurement best(const std::vector<Measurement>& rounds);

// Marks m failed unless holds; why becomes its note.
void check(Measurement& m, bool holds, const std::string& why);

}  // namespace bench

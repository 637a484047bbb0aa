#include "Report.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace bench {

Table::Table(std::string title, std::string unit, double units)
    : title_(std::move(title)), unit_(std::move(unit)), units_(units) {}

void Table::record(const std::string& label, const Measurement& m) {
    for (auto& row : rows_) {
        if (row.label == label) {
            row.rounds.push_back(m);
            return;
        }
    }
    rows_.push_back({label, {m}, {}});
}

void Table::declare(const std::string& label) {
    if (!find(label)) {
        rows_.push_back({label, {}, {}});
    }
}

void Table::skip(const std::string& label, const std::string& why) {
    if (!find(label)) {
        rows_.push_back({label, {}, why});
    }
}

void Table::ratio(const std::string& ours, const std::string& peer) {
    ratios_.emplace_back(ours, peer);
}

const Table::Row* Table::find(const std::string& label) const {
    for (const auto& row : rows_) {
        if (row.label == label) {
            return &row;
        }
    }
    return nullptr;
}

void Table::printRow(const Row& row) const {
    if (!row.skipped.empty() || row.rounds.empty()) {
        std::printf("  %-46s    skipped: %s\n", row.label.c_str(),
                    row.skipped.empty() ? "not run" : row.skipped.c_str());
        return;
    }
    const Measurement m = best(row.rounds);
    char others[16] = "   n/a  ";
    if (const auto spent = m.othersCpuSeconds()) {
        std::snprintf(others, sizeof others, "%6.3f s", *spent);
    }
    std::printf("  %-46s %s %9.1f %s/s  wall %7.3f s  cpu %6.3f s  others %s  peak RSS %5.1f MiB\n",
                row.label.c_str(), m.ok ? "  " : "!!", units_ / m.wallSeconds, unit_.c_str(),
                m.wallSeconds, m.cpuSeconds, others, m.peakRssKiB / 1024.0);
    if (!m.ok) {
        std::printf("  %-46s    failed: %s\n", "", m.note.c_str());
    }
}

void Table::printRatio(const std::string& ours, const std::string& peer) const {
    const Row* a = find(ours);
    const Row* b = find(peer);
    std::printf("  => %s / %s: ", ours.c_str(), peer.c_str());
    for (const Row* row : {a, b}) {
        if (!row || row->rounds.empty()) {
            std::printf("n/a (%s)\n",
                        row && !row->skipped.empty() ? row->skipped.c_str() : "not run");
            return;
        }
    }
    const Measurement x = best(a->rounds), y = best(b->rounds);
    if (!x.ok || !y.ok) {
        std::printf("n/a (failed)\n");
        return;
    }
    std::printf("rate %.2fx, cpu %.2fx\n", y.wallSeconds / x.wallSeconds,
                x.cpuSeconds / y.cpuSeconds);
}

std::optional<Ratio> Table::ratioOf(const std::string& ours, const std::string& peer) const {
    const Row* a = find(ours);
    const Row* b = find(peer);
    if (!a || !b || a->rounds.empty() || b->rounds.empty()) {
        return std::nullopt;
    }
    const Measurement x = best(a->rounds), y = best(b->rounds);
    if (!x.ok || !y.ok) {
        return std::nullopt;
    }
    Ratio ratio{y.wallSeconds / x.wallSeconds, x.cpuSeconds / y.cpuSeconds};
    if (x.othersCpuSeconds() && x.machineCpuSeconds > 0) {
        const auto cores = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
        ratio.ceiling = y.wallSeconds * cores / x.machineCpuSeconds;
    }
    return ratio;
}

std::optional<double> Table::peakRssMiB(const std::string& prefix) const {
    std::optional<double> peak;
    for (const auto& row : rows_) {
        for (const auto& m : row.rounds) {
            if (row.label.starts_with(prefix) && m.ok) {
                peak = std::max(peak.value_or(0), m.peakRssKiB / 1024.0);
            }
        }
    }
    return peak;
}

void Table::print() const {
    progress("");
    std::printf("\n%s\n", title_.c_str());
    for (const auto& text : notes_) {
        std::printf("  (%s)\n", text.c_str());
    }
    for (const auto& row : rows_) {
        printRow(row);
    }
    for (const auto& [ours, peer] : ratios_) {
        printRatio(ours, peer);
    }
    std::fflush(stdout);
}

void Targets::add(const Table& table, const std::string& ours, const std::string& peer, Kind kind,
                  double bound) {
    const auto ratio = table.ratioOf(ours, peer);
    const bool rate = kind == Kind::rate;
    std::optional<double> value, ceiling;
    if (ratio) {
        value = rate ? ratio->rate : ratio->cpu;
        ceiling = rate ? ratio->ceiling : std::nullopt;
    }
    lines_.push_back({(rate ? "rate of " : "cpu of ") + ours + " / " + peer, table.title(), value,
                      bound, !rate, ceiling});
}

void Targets::rss(const Table& table, const std::string& prefix, double mib) {
    lines_.push_back({"peak RSS (MiB) of every " + prefix + " row", table.title(),
                      table.peakRssMiB(prefix), mib, true, std::nullopt});
}

void Targets::print(const std::string& profile) const {
    if (lines_.empty()) {
        return;
    }
    std::printf("\nTargets, %s (each from the table named under it):\n", profile.c_str());
    for (const auto& line : lines_) {
        if (!line.value) {
            std::printf("  %-8s %20s  %s\n", "n/a", "", line.what.c_str());
        } else {
            const bool met = line.atMost ? *line.value <= line.bound : *line.value >= line.bound;
            std::printf("  %-8s %8.2f %s %8.2f  %s\n", met ? "met" : "NOT MET", *line.value,
                        line.atMost ? "<=" : ">=", line.bound, line.what.c_str());
        }
        std::printf("  %-8s %20s    in: %s\n", "", "", line.where.c_str());
        if (line.ceiling) {
            std::printf("  %-8s %20s    every core busy throughout (ours + others' cpu): %.2f\n",
                        "", "", *line.ceiling);
        }
    }
    std::fflush(stdout);
}

void note(const std::string& text) {
    std::printf("  %s\n", text.c_str());
    std::fflush(stdout);
}

void progress(const std::string& text) {
    static const bool terminal = isatty(STDERR_FILENO);
    if (terminal) {
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
    }
}

}  // namespace bench

// Tables of measured rows, best of the rounds, and the "quilo / peer" ratios between them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Process.hpp"

namespace bench {

struct Ratio {
    double rate = 0;  // the peer's time over ours: above 1, quilo is faster
    double cpu = 0;   // our CPU over the peer's: below 1, quilo spends less
    // The rate ratio if the CPU the whole machine spent on our row had kept every core busy
    // from start to end: no client spending what ours did could go beyond it here.
    std::optional<double> ceiling{};
};

class Table {
  public:
    // unit: what one row moves, per second ("MiB", "req", "files"); units: how many per job.
    Table(std::string title, std::string unit, double units);

    // Gives a row its place before its first round.
    void declare(const std::string& label);
    // Adds one round of a row; the row keeps its best round.
    void record(const std::string& label, const Measurement& m);
    // A line under the title: what the rows mean, what was compared.
    void note(const std::string& text) { notes_.push_back(text); }
    // A row that could not run, printed with the reason.
    void skip(const std::string& label, const std::string& why);
    // The rows in the order first recorded, then the ratios asked for.
    void print() const;
    // Asks for "ours / peer": the peer's time over ours (above 1: quilo is faster) and our CPU
    // over the peer's (below 1: quilo spends less).
    void ratio(const std::string& ours, const std::string& peer);
    // The same, for targets; nullopt when either row is missing or failed.
    std::optional<Ratio> ratioOf(const std::string& ours, const std::string& peer) const;
    // The highest peak RSS of the rows whose label starts with prefix, in MiB.
    std::optional<double> peakRssMiB(const std::string& prefix) const;
    const std::string& title() const { return title_; }

  private:
    struct Row {
        std::string label;
        std::vector<Measurement> rounds;
        std::string skipped;
    };
    const Row* find(const std::string& label) const;
    void printRow(const Row& row) const;
    void printRatio(const std::string& ours, const std::string& peer) const;

    std::string title_, unit_;
    double units_;
    std::vector<std::string> notes_;
    std::vector<Row> rows_;
    std::vector<std::pair<std::string, std::string>> ratios_;
};

// The figures a run is judged by: each a ratio from one of its tables and the bound it must
// meet, printed together after the last table.
class Targets {
  public:
    enum class Kind { rate, cpu };
    // ours / peer in table must have a rate of at least, or a CPU of at most, bound.
    void add(const Table& table, const std::string& ours, const std::string& peer, Kind kind,
             double bound);
    // Every row of table whose label starts with prefix must peak below mib of RSS.
    void rss(const Table& table, const std::string& prefix, double mib);
    void print(const std::string& profile) const;

  private:
    struct Line {
        std::string what, where;
        std::optional<double> value;
        double bound;
        bool atMost;
        std::optional<double> ceiling;
    };
    std::vector<Line> lines_;
};

// A line of its own after the last table.
void note(const std::string& text);

// What runs now, on a terminal only: a long run should not look hung.
void progress(const std::string& text);

}  // namespace bench

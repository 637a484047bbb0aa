// Tables of measured rows, best of the rounds, and the "quilo / peer" ratios between them.
#pragma once

#include <string>
#include <vector>

#include "Process.hpp"

namespace bench {

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

// A line of its own after the last table.
void note(const std::string& text);

// What runs now, on a terminal only: a long run should not look hung.
void progress(const std::string& text);

}  // namespace bench

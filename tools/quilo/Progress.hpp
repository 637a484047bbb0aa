#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quilo::cli {

// One line on stderr, redrawn in place with '\r': label, bar, percentage, bytes, rate and time
// left. Drawn only when stderr is a terminal and neither --quiet nor --no-progress was given;
// otherwise every call does nothing, so that logs and pipes stay clean. Used from one thread only.
class ProgressBar {
  public:
    explicit ProgressBar(std::string label);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void setLabel(std::string label) { label_ = std::move(label); }
    // Takes the new counts (total 0 while unknown) and redraws, at most ten times a second.
    void show(std::uint64_t done, std::uint64_t total);
    // Erases the line so that other output can take it; the next show() draws it again.
    void clear();
    // Draws the line a last time, at 100% when `complete`, and ends it.
    void finish(bool complete);

  private:
    void draw();

    bool enabled_;
    std::string label_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
    bool onScreen_ = false;
    std::size_t drawnWidth_ = 0;
};

// The text of the line, at most `width` columns.
std::string progressLine(std::string_view label, std::uint64_t done, std::uint64_t total,
                         double seconds, std::size_t width);

}  // namespace quilo::cli

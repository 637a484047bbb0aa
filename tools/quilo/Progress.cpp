#include "Progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "Output.hpp"

namespace quilo::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string duration(double seconds) {
    const auto total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

std::size_t terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void writeToStderr(const std::string& text) {
    // One write per drawing, so that the line never shows half redrawn.
    std::size_t written = 0;
    while (written < text.size()) {
        const auto n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string progressLine(std::string_view label, std::uint64_t done, std::uint64_t total,
                         double seconds, std::size_t width) {
    std::string stats;
    if (total > 0) {
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%",
                      static_cast<int>(std::min(done, total) * 100 / total));
        stats = std::string(percent) + "  " + humanBytes(done) + " / " + humanBytes(total);
    } else {
        stats = humanBytes(done);
    }
    // The average since the start: steadier than the last instant's rate, and honest.
    if (seconds >= 0.5 && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        stats += "  " + humanBytes(static_cast<std::uint64_t>(rate)) + "/s";
        if (total > done) {
            stats += "  ETA " + duration(static_cast<double>(total - done) / rate);
        }
    }
    if (total > 0 && done >= total) {
        stats += "  in " + duration(seconds);
    }

    std::string line(label.substr(0, 32));
    while (line.size() < label.size() && !line.empty() &&
           (static_cast<unsigned char>(label[line.size()]) & 0xC0) == 0x80) {
        line.pop_back();  // never cut a UTF-8 character in two
    }
    line += "  ";
    // Sized for typical statistics ("100%  200.0 MiB / 200.0 MiB  130.8 MiB/s  ETA 0:00"), not
    // the ones of the moment, so that the bar keeps its length from one drawing to the next.
    constexpr std::size_t typicalStats = 48;
    const std::size_t fixed = line.size() + typicalStats + 4;  // the brackets and two spaces
    if (total > 0 && width >= fixed + 10) {
        const std::size_t inner = std::min<std::size_t>(width - fixed, 40);
        const std::size_t filled = inner * std::min(done, total) / total;
        line += '[';
        line.append(filled, '#').append(inner - filled, '-');
        line += "]  ";
    }
    line += stats;
    if (line.size() > width) {
        line.resize(width);
    }
    return line;
}

ProgressBar::ProgressBar(std::string label)
    : enabled_(::isatty(STDERR_FILENO) == 1 && outputMode().progress && !outputMode().quiet),
      label_(std::move(label)),
      start_(Clock::now()) {}

void ProgressBar::show(std::uint64_t done, std::uint64_t total) {
    done_ = done;
    total_ = total;
    if (enabled_ && (!onScreen_ || Clock::now() - lastDraw_ >= std::chrono::milliseconds(100))) {
        draw();
    }
}

void ProgressBar::clear() {
    if (enabled_ && onScreen_) {
        std::string blank(1, '\r');
        blank.append(drawnWidth_, ' ').push_back('\r');
        writeToStderr(blank);
        onScreen_ = false;
    }
}

void ProgressBar::finish(bool complete) {
    if (!enabled_) {
        return;
    }
    if (complete && total_ > 0) {
        done_ = total_;
    }
    draw();
    writeToStderr("\n");
    onScreen_ = false;
}

void ProgressBar::draw() {
    lastDraw_ = Clock::now();
    const double seconds = std::chrono::duration<double>(lastDraw_ - start_).count();
    // One column short of the width: a terminal may wrap a line that fills the last column.
    const auto line = progressLine(label_, done_, total_, seconds, terminalWidth() - 1);
    // Spaces rather than an escape sequence rub out the rest of a longer previous drawing, so
    // that even a dumb terminal shows one clean line.
    const std::size_t rubOut =
        onScreen_ && drawnWidth_ > line.size() ? drawnWidth_ - line.size() : 0;
    writeToStderr("\r" + line + std::string(rubOut, ' '));
    drawnWidth_ = line.size();
    onScreen_ = true;
}

}  // namespace quilo::cli

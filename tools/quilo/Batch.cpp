#include "Batch.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>

#include "Output.hpp"
#include "Progress.hpp"
#include "Summary.hpp"

namespace quilo::cli {

namespace {

using Clock = std::chrono::steady_clock;

// After the second interrupt, what is being cancelled gets this long to end.
constexpr auto kGrace = std::chrono::seconds(5);

// Counted by the signal handler, which does nothing else that is unsafe there.
volatile std::sig_atomic_t signals = 0;

void onSignal(int) {
    signals = signals + 1;
    if (signals >= 3) {
        constexpr char message[] = "quilo: interrupted three times: leaving at once\n";
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(exitInterrupted);
    }
}

// Says what has not ended and may have left something behind, then ends the process.
[[noreturn]] void leave(const std::vector<Batch::Item>& items, const std::vector<bool>& ended) {
    for (std::size_t index = 0; index < items.size(); ++index) {
        for (const auto& subject :
             ended[index] ? std::vector<std::string>{} : items[index].subjects)
            printFailure(items[index].action + " " + subject,
                         "still being cancelled after the second interrupt: a multipart upload "
                         "or a .<name>.<hex>.download file beside the destination may remain");
    }
    std::cout.flush();
    std::_Exit(exitInterrupted);
}

}  // namespace

void interruptOnSignal() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, signal);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

bool interrupted() {
    return signals != 0;
}

std::size_t Batch::add(std::string action, std::vector<std::string> subjects,
                       std::uint64_t expectedBytes) {
    std::lock_guard lock(state_->mutex);
    Item item;
    item.action = std::move(action);
    item.subjects = std::move(subjects);
    item.total = expectedBytes;
    state_->items.push_back(std::move(item));
    state_->total += expectedBytes;
    return state_->items.size() - 1;
}

void Batch::startAll(Start start, std::size_t ahead) {
    auto& state = *state_;
    std::size_t first = 0;
    {
        std::lock_guard lock(state.mutex);
        state.start = std::move(start);
        first = std::min(ahead, state.items.size());
        state.nextToStart = first;
    }
    for (std::size_t index = 0; index < first; ++index) {
        state.launch(index);
    }
}

void Batch::showAs(std::size_t index, std::string path, std::string shown) const {
    std::lock_guard lock(state_->mutex);
    state_->items.at(index).alias = {std::move(path), std::move(shown)};
}

// An operation refused is ended here, after `start` has returned: once the last one ends, wait()
// lets go of `start`.
void Batch::State::launch(std::size_t index) {
    while (index < items.size()) {
        auto refusal = start(index);
        if (!refusal)
            return;
        std::lock_guard lock(mutex);
        items[index].refusal = std::move(*refusal);
        endLocked(index, false);
        index = claimLocked();
    }
}

std::size_t Batch::State::claimLocked() {
    return start && !cancelling && nextToStart < items.size() ? nextToStart++ : items.size();
}

void Batch::State::begin(const std::shared_ptr<S3Request>& request) {
    std::lock_guard lock(mutex);
    // A request the queue admits after the interrupt is cancelled as soon as it starts.
    if (cancelling)
        request->cancel();
    else
        running.push_back(request);
}

void Batch::State::cancelAll() {
    std::vector<std::shared_ptr<S3Request>> cancelled;
    {
        std::lock_guard lock(mutex);
        if (cancelling)
            return;
        cancelling = true;
        cancelled.swap(running);
        // Those startAll has not started yet end here, never sent.
        for (; start && nextToStart < items.size(); ++nextToStart) {
            items[nextToStart].cancelled = true;
            endLocked(nextToStart, false);
        }
    }
    for (const auto& request : cancelled)
        request->cancel();
}

void Batch::State::end(std::size_t index, std::shared_ptr<S3Request> request, bool ok) {
    std::size_t next = items.size();
    {
        std::lock_guard lock(mutex);
        std::erase(running, request);
        auto& item = items.at(index);
        item.cancelled = !ok && request->error() && request->error()->kind == ErrorKind::cancelled;
        item.request = std::move(request);
        endLocked(index, ok);
        next = claimLocked();
    }
    // Outside the lock: the facade may call back.
    launch(next);
}

void Batch::State::endLocked(std::size_t index, bool ok) {
    auto& item = items[index];
    item.ok = ok;
    if (ok && item.done < item.total) {
        done += item.total - item.done;
        item.done = item.total;
    }
    endOrder.push_back(index);
    changed.notify_all();
}

void Batch::State::progress(std::size_t index, std::uint64_t bytes, std::uint64_t expected) {
    std::lock_guard lock(mutex);
    auto& item = items.at(index);
    if (expected > 0 && expected != item.total) {
        total = total - item.total + expected;
        item.total = expected;
    }
    if (bytes > item.done) {
        done += bytes - item.done;
        item.done = bytes;
    }
}

bool Batch::wait(const std::function<void(std::size_t, const Item&)>& ended, ProgressBar* bar,
                 Summary* summary) {
    auto& state = *state_;
    std::size_t reported = 0;
    bool allOk = true;
    std::optional<Clock::time_point> deadline;
    for (;;) {
        if (interrupted())
            state.cancelAll();
        if (signals >= 2 && !deadline)
            deadline = Clock::now() + kGrace;
        if (deadline && Clock::now() >= deadline) {
            std::lock_guard lock(state.mutex);
            std::vector<bool> over(state.items.size());
            for (const auto index : state.endOrder)
                over[index] = true;
            leave(state.items, over);
        }
        // Ended items no longer change, so they are read outside the lock; the printing happens
        // there too, so that a slow terminal never holds up the callables.
        std::vector<std::size_t> newlyEnded;
        std::uint64_t done = 0, total = 0;
        bool allEnded = false;
        {
            std::unique_lock lock(state.mutex);
            state.changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return state.endOrder.size() > reported || state.items.empty();
            });
            newlyEnded.assign(state.endOrder.begin() + static_cast<std::ptrdiff_t>(reported),
                              state.endOrder.end());
            reported = state.endOrder.size();
            done = state.done;
            total = state.total;
            allEnded = reported == state.items.size();
            if (allEnded)
                state.start = nullptr;  // it may refer to the caller's locals
        }
        // Lines are about to be printed where the bar is drawn.
        const auto& mode = outputMode();
        const bool anyFailed = std::any_of(newlyEnded.begin(), newlyEnded.end(),
                                           [&](std::size_t i) { return !state.items[i].ok; });
        if (bar && !newlyEnded.empty() && (anyFailed || !(mode.quiet || mode.json)))
            bar->clear();
        for (const auto index : newlyEnded) {
            const Item& item = state.items[index];
            allOk = allOk && item.ok;
            if (!item.ok && !(item.cancelled && interrupted())) {
                const auto& error = item.request ? item.request->error() : std::nullopt;
                std::string cause = !item.refusal.empty() ? item.refusal
                                    : error               ? error->description()
                                                          : "failed";
                const auto& [path, shown] = item.alias;
                for (auto at = cause.find(path); !path.empty() && at != std::string::npos;
                     at = cause.find(path, at + shown.size()))
                    cause.replace(at, path.size(), shown);
                const Error* parts = error && item.refusal.empty() ? &*error : nullptr;
                for (const auto& subject : item.subjects) {
                    if (summary)
                        summary->failed(item.action, subject, cause, parts);
                    else
                        printFailure(item.action + " " + subject, cause, parts);
                }
            }
            if (ended)
                ended(index, item);
        }
        std::cout.flush();
        if (bar) {
            bar->show(done, total);
            if (allEnded)
                bar->finish(allOk);
        }
        if (allEnded)
            return allOk;
    }
}

}  // namespace quilo::cli

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
[[noreturn]] void leave(const std::map<std::size_t, Batch::Item>& items,
                        const std::vector<std::size_t>& endOrder) {
    for (const auto& [index, item] : items) {
        if (std::find(endOrder.begin(), endOrder.end(), index) != endOrder.end())
            continue;
        for (const auto& subject : item.subjects)
            printFailure(item.action + " " + subject,
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
    std::size_t index = 0;
    {
        std::lock_guard lock(state_->mutex);
        Item item;
        item.action = std::move(action);
        item.subjects = std::move(subjects);
        item.total = expectedBytes;
        index = state_->added++;
        state_->items.emplace(index, std::move(item));
        state_->total += expectedBytes;
        // Added after an interrupt: it ends as those not started then did.
        if (state_->start && state_->cancelling) {
            state_->items.at(index).cancelled = true;
            state_->endLocked(state_->nextToStart++, false);
        }
    }
    state_->fill();
    return index;
}

void Batch::startAll(Start start, std::size_t ahead) {
    {
        std::lock_guard lock(state_->mutex);
        state_->start = std::move(start);
        state_->ahead = ahead;
    }
    state_->fill();
}

std::size_t Batch::unfinished() const {
    std::lock_guard lock(state_->mutex);
    return state_->added - state_->ended;
}

std::size_t Batch::nextIndex() const {
    std::lock_guard lock(state_->mutex);
    return state_->added;
}

void Batch::showAs(std::size_t index, std::string path, std::string shown) const {
    std::lock_guard lock(state_->mutex);
    state_->items.at(index).alias = {std::move(path), std::move(shown)};
}

void Batch::State::fill() {
    for (;;) {
        std::size_t index = none;
        {
            std::lock_guard lock(mutex);
            index = claimLocked();
        }
        if (index == none)
            return;
        launch(index);
    }
}

// An operation refused is ended here, after `start` has returned: once the last one ends, wait()
// lets go of `start`.
void Batch::State::launch(std::size_t index) {
    while (index != none) {
        auto refusal = start(index);
        if (!refusal)
            return;
        std::lock_guard lock(mutex);
        items.at(index).refusal = std::move(*refusal);
        --launched;
        endLocked(index, false);
        index = claimLocked();
    }
}

std::size_t Batch::State::claimLocked() {
    if (!start || cancelling || nextToStart == added || launched >= ahead)
        return none;
    ++launched;
    return nextToStart++;
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
        for (; start && nextToStart < added; ++nextToStart) {
            items.at(nextToStart).cancelled = true;
            endLocked(nextToStart, false);
        }
    }
    for (const auto& request : cancelled)
        request->cancel();
}

void Batch::State::end(std::size_t index, std::shared_ptr<S3Request> request, bool ok) {
    std::size_t next = none;
    {
        std::lock_guard lock(mutex);
        std::erase(running, request);
        auto& item = items.at(index);
        item.cancelled = !ok && request->error() && request->error()->kind == ErrorKind::cancelled;
        item.request = std::move(request);
        if (start && index < nextToStart)
            --launched;
        endLocked(index, ok);
        next = claimLocked();
    }
    // Outside the lock: the facade may call back.
    launch(next);
}

void Batch::State::endLocked(std::size_t index, bool ok) {
    auto& item = items.at(index);
    item.ok = ok;
    if (ok && item.done < item.total) {
        done += item.total - item.done;
        item.done = item.total;
    }
    ++ended;
    endOrder.push_back(index);
    changed.notify_all();
}

void Batch::State::progress(std::size_t index, std::uint64_t bytes, std::uint64_t expected) {
    std::lock_guard lock(mutex);
    const auto found = items.find(index);
    if (found == items.end())
        return;
    auto& item = found->second;
    if (expected > 0 && expected != item.total) {
        total = total - item.total + expected;
        item.total = expected;
    }
    if (bytes > item.done) {
        done += bytes - item.done;
        item.done = bytes;
    }
}

namespace {

// Reports an operation that failed, under the names people know its subjects by.
void tellFailure(const Batch::Item& item, Summary* summary) {
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

}  // namespace

bool Batch::wait(const std::function<void(std::size_t, const Item&)>& ended, ProgressBar* bar,
                 Summary* summary, const std::function<bool()>& feed) {
    auto& state = *state_;
    bool allOk = true, more = static_cast<bool>(feed);
    std::optional<Clock::time_point> deadline;
    for (;;) {
        if (interrupted())
            state.cancelAll();
        more = more && !interrupted() && feed();
        if (signals >= 2 && !deadline)
            deadline = Clock::now() + kGrace;
        if (deadline && Clock::now() >= deadline) {
            std::lock_guard lock(state.mutex);
            leave(state.items, state.endOrder);
        }
        // Ended items no longer change, and no other thread reaches them any more: they are
        // read outside the lock, where the printing happens, so that a slow terminal never
        // holds up the callables.
        std::vector<std::pair<std::size_t, Item*>> newlyEnded;
        std::uint64_t done = 0, total = 0;
        bool allEnded = false;
        {
            std::unique_lock lock(state.mutex);
            state.changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return !state.endOrder.empty() || (!more && state.ended == state.added);
            });
            for (const auto index : state.endOrder)
                newlyEnded.emplace_back(index, &state.items.at(index));
            state.endOrder.clear();
            done = state.done;
            total = state.total;
            allEnded = !more && state.ended == state.added;
            if (allEnded)
                state.start = nullptr;  // it may refer to the caller's locals
        }
        // Lines are about to be printed where the bar is drawn.
        const auto& mode = outputMode();
        const bool anyFailed = std::any_of(newlyEnded.begin(), newlyEnded.end(),
                                           [](const auto& one) { return !one.second->ok; });
        if (bar && !newlyEnded.empty() && (anyFailed || !(mode.quiet || mode.json)))
            bar->clear();
        for (const auto& [index, item] : newlyEnded) {
            allOk = allOk && item->ok;
            if (!item->ok && !(item->cancelled && interrupted()))
                tellFailure(*item, summary);
            if (ended)
                ended(index, *item);
        }
        if (!newlyEnded.empty()) {
            std::lock_guard lock(state.mutex);
            for (const auto& one : newlyEnded)
                state.items.erase(one.first);
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

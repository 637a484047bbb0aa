#include "Batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>

#include "Output.hpp"
#include "Progress.hpp"

namespace quilo::cli {

namespace {
// Set by the signal handler: nothing else is safe to do there.
volatile std::sig_atomic_t signalled = 0;
void onSignal(int) {
    signalled = 1;
}
}  // namespace

void interruptOnSignal() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

bool interrupted() {
    return signalled != 0;
}

std::size_t Batch::add(std::string what, std::uint64_t expectedBytes) {
    std::lock_guard lock(state_->mutex);
    Item item;
    item.index = state_->items.size();
    item.what = std::move(what);
    item.total = expectedBytes;
    state_->items.push_back(std::move(item));
    return state_->items.size() - 1;
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
    }
    for (const auto& request : cancelled)
        request->cancel();
}

void Batch::State::end(std::size_t index, std::shared_ptr<S3Request> request, bool ok) {
    std::lock_guard lock(mutex);
    std::erase(running, request);
    auto& item = items.at(index);
    item.request = std::move(request);
    item.ok = ok;
    if (ok && item.total > 0) {
        item.done = item.total;
    }
    endOrder.push_back(index);
    changed.notify_all();
}

void Batch::State::progress(std::size_t index, std::uint64_t done, std::uint64_t total) {
    std::lock_guard lock(mutex);
    auto& item = items.at(index);
    item.done = done;
    if (total > 0) {
        item.total = total;
    }
}

bool Batch::wait(const std::function<void(const Item&)>& ended, ProgressBar* bar) {
    auto& state = *state_;
    std::size_t reported = 0;
    bool allOk = true;
    for (;;) {
        // A snapshot under the lock; the printing happens outside it, so that a slow terminal
        // never holds up the callables.
        if (interrupted())
            state.cancelAll();
        std::vector<Item> newlyEnded;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        bool allEnded = false;
        {
            std::unique_lock lock(state.mutex);
            state.changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                return state.endOrder.size() > reported || state.items.empty();
            });
            for (; reported < state.endOrder.size(); ++reported) {
                newlyEnded.push_back(state.items[state.endOrder[reported]]);
            }
            for (const auto& item : state.items) {
                done += item.done;
                total += item.total;
            }
            allEnded = reported == state.items.size();
        }
        for (const auto& item : newlyEnded) {
            allOk = allOk && item.ok;
        }
        if (bar) {
            bar->show(done, total);
            if (allEnded) {
                bar->finish(allOk);
            } else if (!newlyEnded.empty()) {
                bar->clear();
            }
        }
        for (const auto& item : newlyEnded) {
            if (!item.ok && item.request) {
                printFailure(item.what, *item.request);
            } else if (!item.ok) {
                printFailure(item.what, "failed");
            }
            if (ended) {
                ended(item);
            }
        }
        std::cout.flush();
        if (allEnded) {
            return allOk;
        }
    }
}

}  // namespace quilo::cli

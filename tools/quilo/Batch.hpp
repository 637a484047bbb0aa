#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <quilo/quilo.hpp>

namespace quilo::cli {

class ProgressBar;
class Summary;

// Operations started together and waited for together on the main thread.
//
// The facade calls the callables on its network thread, which every other request waits for:
// they only record what happened under a mutex and wake the main thread, which does all the
// printing and drawing.
class Batch {
  public:
    struct Item {
        std::string action;                  // for messages: "upload"
        std::vector<std::string> subjects;   // what it acts on: {"a.txt"}, or several at once
        std::shared_ptr<S3Request> request;  // once it has ended
        bool ok = false;
        bool cancelled = false;  // ended by an interrupt, not by a fault of its own
        std::string refusal{};   // why it ended without a request
        std::pair<std::string, std::string> alias{};  // a path given as another, and the other
        std::uint64_t done = 0;
        std::uint64_t total = 0;  // bytes to move, 0 while unknown
    };

    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Adds an operation; hand the callables of the index it returns to the facade, or let
    // startAll do it.
    // A failure is told once for each of its subjects.
    std::size_t add(std::string action, std::vector<std::string> subjects,
                    std::uint64_t expectedBytes = 0);

    template <class R>
    Callbacks<R> callbacks(std::size_t index) const {
        return {.started = [state = state_](const auto& request) { state->begin(request); },
                .finished = [state = state_,
                             index](const auto& request) { state->end(index, request, true); },
                .failed = [state = state_,
                           index](const auto& request) { state->end(index, request, false); }};
    }

    template <class R>
    TransferCallbacks<R> transferCallbacks(std::size_t index) const {
        const auto plain = callbacks<R>(index);
        return {.started = plain.started,
                .finished = plain.finished,
                .failed = plain.failed,
                .progress = [state = state_, index](const auto&, std::uint64_t done,
                                                    std::uint64_t total) {
                    state->progress(index, done, total);
                }};
    }

    // Calls the facade with an index's callables; or, for an operation that cannot start, says
    // why not, and the operation fails for that.
    using Start = std::function<std::optional<std::string>(std::size_t index)>;
    // Starts every operation added, through `start`, those added later included. At most
    // `ahead` run or wait in the library's queue at once; each one that ends starts the next
    // from the library's thread, so that the queue never runs dry while an interrupt finds
    // little to cancel. `start` must stay valid until wait() returns.
    void startAll(Start start, std::size_t ahead);
    // The operations added that have not ended yet.
    std::size_t unfinished() const;
    // The index the next operation added will have.
    std::size_t nextIndex() const;
    // From `start`: the operation was given `path` for the one people know as `shown`, which
    // its failure names instead.
    void showAs(std::size_t index, std::string path, std::string shown) const;

    // Waits until every operation added has ended. `ended` runs here, on the calling thread,
    // for each one as it ends, which is then forgotten, so that a batch fed all along holds
    // only those under way; `bar`, when given, shows the bytes of all of them together.
    // `feed`, when given, runs here too before each wait, adding operations, and says false
    // once it has none left to add.
    // Failures are reported to `summary`, else printed. True when all succeeded. After an
    // interrupt (see interruptOnSignal) every operation is cancelled, so that none leaves a
    // partial file or a half-made upload behind; those are not reported one by one.
    bool wait(const std::function<void(std::size_t, const Item&)>& ended,
              ProgressBar* bar = nullptr, Summary* summary = nullptr,
              const std::function<bool()>& feed = nullptr);

  private:
    // Shared with the callables, which the library keeps until a little after they have run:
    // they may outlive the Batch.
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<std::size_t, Item> items;  // by index, until wait() has told them ended
        std::size_t added = 0;
        std::vector<std::size_t> endOrder;                // ended and not yet told
        std::vector<std::shared_ptr<S3Request>> running;  // started and not yet ended
        Start start;                                      // while startAll feeds the queue
        std::size_t ahead = 0;
        std::size_t nextToStart = 0;
        std::size_t launched = 0;  // started through `start` and not yet ended
        std::size_t ended = 0;
        std::uint64_t done = 0, total = 0;  // bytes, over all items
        bool cancelling = false;

        static constexpr std::size_t none = SIZE_MAX;

        void begin(const std::shared_ptr<S3Request>& request);
        // Starts what the queue has room for, from the calling thread.
        void fill();
        // Starts `index`, and the next while one cannot start.
        void launch(std::size_t index);
        std::size_t claimLocked();  // the next to start; none while the queue needs no more
        void cancelAll();
        void end(std::size_t index, std::shared_ptr<S3Request> request, bool ok);
        void progress(std::size_t index, std::uint64_t done, std::uint64_t total);
        void endLocked(std::size_t index, bool ok);
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Makes Ctrl-C (SIGINT), SIGTERM and SIGHUP interrupt the batches being waited for: the first
// cancels what runs; after a second, what has not ended a few seconds later is reported as
// left behind and the process ends; a third ends it at once.
void interruptOnSignal();
// Whether such a signal has come.
bool interrupted();

// Runs one operation and waits for it: `start` gets the callables and calls the facade. Returns
// the request when it succeeded; otherwise reports the failure on stderr and returns nullptr.
template <class R, class Start>
std::shared_ptr<R> await(std::string action, std::string subject, Start start) {
    Batch batch;
    const auto index = batch.add(std::move(action), {std::move(subject)});
    start(batch.callbacks<R>(index));
    std::shared_ptr<R> result;
    batch.wait([&](std::size_t, const Batch::Item& item) {
        if (item.ok) {
            result = std::static_pointer_cast<R>(item.request);
        }
    });
    return result;
}

}  // namespace quilo::cli

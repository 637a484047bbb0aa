#pragma once

// Completion tokens: the last argument of an operation says how its outcome comes back.
//
//     auto request = client.deleteObject(args, quilo::use_future).get();  // blocks
//     auto request = co_await client.deleteObject(args, quilo::use_awaitable);
//
// Either way the caller gets the operation's typed request once it has ended, finished or
// failed alike: request->error() tells which. The operation starts when it is called, as with the
// callables; the token only decides how its end is delivered. Everything here is templates, so
// that the machinery is compiled into the caller and carries no symbol of its own.

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "quilo/Callbacks.hpp"

namespace quilo {

// What a token may carry besides its kind: use_future.with({...}), use_awaitable.with({...}).
struct TokenOptions {
    // Bytes moved so far and the total, as TransferCallbacks' progress reports them (uploads and
    // downloads only), called on the library's network thread.
    std::function<void(std::uint64_t sentSize, std::uint64_t total)> progress{};
    // A stop requested through it cancels the operation, which then ends with a `cancelled`
    // error unless it had already ended.
    std::stop_token stopToken{};
    // Awaitables only: runs the function that resumes the coroutine, for instance by posting it
    // to the caller's event loop. Without one the coroutine resumes on the network thread.
    std::function<void(std::function<void()>)> executor{};
};

// A token of kind Kind with options.
template <class Kind>
struct TokenWith {
    TokenOptions options;  // what it carries
};

// The outcome as a std::future of the typed request.
struct use_future_t {
    // The same token, with options.
    TokenWith<use_future_t> with(TokenOptions options) const { return {std::move(options)}; }
};

// The outcome through co_await, in any coroutine type: see Awaitable.
struct use_awaitable_t {
    // The same token, with options.
    TokenWith<use_awaitable_t> with(TokenOptions options) const { return {std::move(options)}; }
};

inline constexpr use_future_t use_future{};        // the outcome as a std::future
inline constexpr use_awaitable_t use_awaitable{};  // the outcome through co_await

namespace detail {

template <class R>
class AwaitState;

// Passes a stop on from the caller's token to the awaitable's own source.
struct ForwardStop {
    std::stop_source target;
    void operator()() const noexcept { target.request_stop(); }
};

}  // namespace detail

// What `co_await` takes: the request once the operation has ended. The awaiter takes any
// std::coroutine_handle<>, so no coroutine type of this library is needed. An Awaitable may be
// kept, its operation running meanwhile, and awaited later, by one coroutine.
//
// The coroutine resumes on the network thread (do not block there: every request waits), or
// through the executor of the token's options. An Awaitable destroyed before its operation ends
// (with the coroutine frame that holds it, say) cancels the operation, and its coroutine is never
// resumed. Destroy a waiting coroutine on the thread that would resume it (its executor's), so
// that the two cannot cross.
template <class R>
class [[nodiscard]] Awaitable {
  public:
    // Made by the operations; moved, never copied: one Awaitable, one operation.
    explicit Awaitable(std::shared_ptr<detail::AwaitState<R>> state) noexcept
        : state_(std::move(state)) {}
    Awaitable(Awaitable&& other) noexcept : state_(std::move(other.state_)) {}
    Awaitable& operator=(Awaitable&&) = delete;
    ~Awaitable() {
        if (state_) {
            state_->abandon();
        }
    }

    // Lives within the co_await expression, which the Awaitable outlives.
    class Awaiter {
      public:
        // The steps of co_await.
        explicit Awaiter(detail::AwaitState<R>* state) noexcept : state_(state) {}
        bool await_ready() const noexcept { return state_->ended(); }
        bool await_suspend(std::coroutine_handle<> waiter) noexcept {
            return state_->suspend(waiter);
        }
        // Rethrows only what setting the operation up threw (memory exhaustion).
        std::shared_ptr<R> await_resume() const { return state_->outcome(); }

      private:
        detail::AwaitState<R>* state_;
    };
    // A separate awaiter, so that awaiting a kept Awaitable copies nothing that owns the
    // operation.
    Awaiter operator co_await() const noexcept { return Awaiter(state_.get()); }

  private:
    std::shared_ptr<detail::AwaitState<R>> state_;
};

namespace detail {

// Where the end of an operation meets the coroutine that awaits it, whichever comes first.
template <class R>
class AwaitState : public std::enable_shared_from_this<AwaitState<R>> {
  public:
    explicit AwaitState(TokenOptions options) : executor_(std::move(options.executor)) {
        if (options.stopToken.stop_possible()) {
            forward_.emplace(std::move(options.stopToken), ForwardStop{cancel_});
        }
    }

    std::stop_token stopToken() const noexcept { return cancel_.get_token(); }

    // Once, on the network thread (or at once, for an outcome known without a request).
    void end(std::shared_ptr<R> request, std::exception_ptr failure = nullptr) noexcept {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard lock(mutex_);
            request_ = std::move(request);
            failure_ = std::move(failure);
            ended_ = true;
            waiter = std::exchange(waiter_, {});
        }
        if (waiter) {
            resume(waiter);
        }
    }

    bool ended() const noexcept {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    // False when the operation has already ended: the coroutine goes on without suspending.
    bool suspend(std::coroutine_handle<> waiter) noexcept {
        std::lock_guard lock(mutex_);
        if (ended_) {
            return false;
        }
        waiter_ = waiter;
        return true;
    }
    std::shared_ptr<R> outcome() const {
        std::lock_guard lock(mutex_);
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return request_;
    }
    // The awaitable is gone: never resume, and cancel what still runs.
    void abandon() noexcept {
        bool running;
        {
            std::lock_guard lock(mutex_);
            abandoned_ = true;
            waiter_ = {};
            running = !ended_;
        }
        if (running) {
            cancel_.request_stop();
        }
    }

  private:
    // What the coroutine's own type lets out of resume() goes to whoever runs the executor's
    // function; on the network thread no one could take it, and it is dropped.
    void resume(std::coroutine_handle<> waiter) noexcept {
        if (!executor_) {
            resumeHere(waiter);
            return;
        }
        // The frame may be destroyed before the executor runs this: look again there.
        auto self = this->shared_from_this();
        try {
            executor_([self, waiter] {
                if (self->stillAwaited()) {
                    waiter.resume();
                }
            });
        } catch (...) {
            // An executor that cannot take the function would leave the coroutine suspended
            // for ever: resume it here instead.
            resumeHere(waiter);
        }
    }
    static void resumeHere(std::coroutine_handle<> waiter) noexcept {
        try {
            waiter.resume();
        } catch (...) {
        }
    }
    bool stillAwaited() const noexcept {
        std::lock_guard lock(mutex_);
        return !abandoned_;
    }

    mutable std::mutex mutex_;
    std::shared_ptr<R> request_;
    std::exception_ptr failure_;
    std::coroutine_handle<> waiter_;
    bool ended_ = false;
    bool abandoned_ = false;
    std::function<void(std::function<void()>)> executor_;
    std::stop_source cancel_;
    std::optional<std::stop_callback<ForwardStop>> forward_;
};

template <class T>
inline constexpr bool isFutureToken =
    std::is_same_v<T, use_future_t> || std::is_same_v<T, TokenWith<use_future_t>>;
template <class T>
inline constexpr bool isAwaitableToken =
    std::is_same_v<T, use_awaitable_t> || std::is_same_v<T, TokenWith<use_awaitable_t>>;

template <class T>
concept Token = isFutureToken<T> || isAwaitableToken<T>;

template <class Kind>
TokenOptions optionsOf(const Kind&) {
    return {};
}
template <class Kind>
TokenOptions optionsOf(const TokenWith<Kind>& token) {
    return token.options;
}

// The callables that carry an operation's end to `done`, and its progress and stop token.
template <class Set, class R>
Set callablesFor(const Callback<R>& done, const TokenOptions& options, std::stop_token stop) {
    Set set{.finished = done, .failed = done};
    set.stopToken = std::move(stop);
    if constexpr (requires { set.progress; }) {
        if (options.progress) {
            set.progress = [progress = options.progress](
                               const std::shared_ptr<R>&, std::uint64_t sentSize,
                               std::uint64_t total) { progress(sentSize, total); };
        }
    }
    return set;
}

template <class R, class Set, class Start>
std::future<std::shared_ptr<R>> startForFuture(const TokenOptions& options, Start&& start) {
    auto promise = std::make_shared<std::promise<std::shared_ptr<R>>>();
    auto future = promise->get_future();
    try {
        start(callablesFor<Set, R>(
            [promise](const std::shared_ptr<R>& request) { promise->set_value(request); }, options,
            options.stopToken));
    } catch (...) {
        promise->set_exception(std::current_exception());
    }
    return future;
}

// The operation is cancelled through the state's own stop token, which the caller's forwards
// to, so that an abandoned awaitable can cancel it too.
template <class R, class Set, class Start>
Awaitable<R> startForAwaitable(const TokenOptions& options, Start&& start) {
    auto state = std::make_shared<AwaitState<R>>(options);
    try {
        start(callablesFor<Set, R>(
            [state](const std::shared_ptr<R>& request) { state->end(request); }, options,
            state->stopToken()));
    } catch (...) {
        state->end(nullptr, std::current_exception());
    }
    return Awaitable<R>(std::move(state));
}

// Starts an operation, handing `start` the callables that `how` asks for, and returns what the
// token promises (nothing for callables of the caller's own).
template <class R, class Set, class How, class Start>
auto complete(How&& how, Start&& start) {
    using Kind = std::remove_cvref_t<How>;
    if constexpr (isFutureToken<Kind>) {
        return startForFuture<R, Set>(optionsOf(how), std::forward<Start>(start));
    } else if constexpr (isAwaitableToken<Kind>) {
        return startForAwaitable<R, Set>(optionsOf(how), std::forward<Start>(start));
    } else {
        start(Set(std::forward<How>(how)));
    }
}

// An outcome known without asking anything: a listing past its last page.
template <class R, class How>
auto completed(const How&, std::shared_ptr<R> request) {
    if constexpr (isFutureToken<How>) {
        std::promise<std::shared_ptr<R>> promise;
        promise.set_value(std::move(request));
        return promise.get_future();
    } else {
        auto state = std::make_shared<AwaitState<R>>(TokenOptions{});
        state->end(std::move(request));
        return Awaitable<R>(std::move(state));
    }
}

}  // namespace detail
}  // namespace quilo

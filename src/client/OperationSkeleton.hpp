#pragma once

// The one path every operation of Quilo takes: factory, configuration, hooks, options, start.
// An operation is described by its Steps; nothing here knows about a particular operation.

#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "quilo/Callbacks.hpp"
#include "quilo/Client.hpp"
#include "quilo/Value.hpp"
#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Hooks.hpp"

namespace quilo::detail {

// "an int32", "a string": a type name as it reads in a message.
std::string withArticle(std::string_view typeName);

// An entry of a string-to-string parameter map; a missing key is passed on as no string.
std::optional<std::string> entry(const StringMap& param, const char* key);

// Reads the required keys of a parameter map, in the order they are taken. Every key must hold a
// present value of exactly the type asked for; the first key that does not is kept as the misuse
// the operation fails with, and later keys no longer matter.
class ParamReader {
  public:
    ParamReader(std::string_view operation, const ValueMap& param) noexcept
        : operation_(operation), param_(param) {}

    // The key's value, or T{} once a problem has been found.
    template <class T>
    T take(std::string_view key) {
        if (problem_) {
            return T{};
        }
        const auto found = param_.find(std::string(key));
        if (found == param_.end()) {
            fail(key, "is missing");
        } else if (!found->second) {
            fail(key, "has no value");
        } else if (const T* value = found->second->getIf<T>()) {
            return *value;
        } else {
            fail(key, "must hold " + withArticle(typeName(Value(T{}))) + ", but holds " +
                          withArticle(typeName(*found->second)));
        }
        return T{};
    }

    // A key that may be left out, or held without a value: nullopt then. A value of another type
    // is a misuse, as for take(); an int64 is also given by an int32, which it holds exactly.
    template <class T>
    std::optional<T> takeOptional(std::string_view key) {
        const auto found = param_.find(std::string(key));
        if (problem_ || found == param_.end() || !found->second)
            return std::nullopt;
        if constexpr (std::is_same_v<T, std::int64_t>)
            if (const auto* narrow = found->second->getIf<std::int32_t>())
                return *narrow;
        return take<T>(key);
    }

    bool ok() const noexcept { return !problem_; }
    // The misuse to fail the request with, once a key was missing or mistyped.
    std::optional<Error> misuse() const;

  private:
    void fail(std::string_view key, const std::string& what);

    std::string_view operation_;
    const ValueMap& param_;
    std::optional<std::string> problem_;
};

enum class Progress { none, sent, received };

template <class F, class Result, class... Args>
concept CallableAs = std::is_invocable_r_v<Result, const F&, Args...>;

// A callable borrowed for one call of runOperation. An operation's lambdas live until that call
// returns, and borrowing them copies nothing, so building the steps can neither allocate nor
// throw.
template <class Signature>
class Borrowed;

template <class Result, class... Args>
class Borrowed<Result(Args...)> {
  public:
    Borrowed() = default;
    // Implicit, so that a lambda initialises a step.
    template <CallableAs<Result, Args...> F>
    Borrowed(const F& callable) noexcept
        : callable_(&callable), call_([](const void* object, Args... args) -> Result {
              return (*static_cast<const F*>(object))(std::forward<Args>(args)...);
          }) {}

    explicit operator bool() const noexcept { return call_ != nullptr; }
    Result operator()(Args... args) const { return call_(callable_, std::forward<Args>(args)...); }

  private:
    const void* callable_ = nullptr;
    Result (*call_)(const void*, Args...) = nullptr;
};

// What makes one operation. `make` reads the parameters and calls the factory; when a
// ParamReader is given and reports a misuse, whatever `make` returned is discarded.
template <class R>
struct Steps {
    std::string_view name;
    Borrowed<std::shared_ptr<R>()> make;
    const ParamReader* params = nullptr;
    Borrowed<void(R&)> beforeConfiguration{};  // listObjects sets its listing options here
    Borrowed<void(R&)> afterHooks{};           // the options an operation fixes
    Progress progress = Progress::none;
};

// Every hook holds the caller's callable and the request; the request library drops its hooks
// when the request ends, which breaks the cycle. No hook refers to the client.
template <class R>
auto hookFor(const Callback<R>& callable, const std::shared_ptr<R>& request) {
    return [callable, request] { callable(request); };
}

// Shared by Callbacks and TransferCallbacks: the five lifecycle callables, each bound only
// when present, in this order.
template <class R, class CallbackSet>
void bindLifecycle(const std::shared_ptr<R>& request, const CallbackSet& callbacks) {
    if (callbacks.started) {
        request->setStartedBlock(hookFor(callbacks.started, request));
    }
    if (callbacks.finished) {
        request->setCompletionBlock(hookFor(callbacks.finished, request));
    }
    if (callbacks.failed) {
        request->setFailedBlock(hookFor(callbacks.failed, request));
    }
    if (callbacks.headerReceived) {
        request->setHeadersReceivedBlock(
            [callable = callbacks.headerReceived, request](const std::optional<HeaderMap>&) {
                callable(request);
            });
    }
    if (callbacks.redirected) {
        request->setRequestRedirectedBlock(hookFor(callbacks.redirected, request));
    }
}

template <class R>
void bindProgress(const std::shared_ptr<R>& request, const ProgressCallback<R>& progress,
                  Progress direction) {
    if (!progress || direction == Progress::none) {
        return;
    }
    auto hook = [progress, request](std::uint64_t sentSize, std::uint64_t total) {
        progress(request, sentSize, total);
    };
    if (direction == Progress::sent) {
        request->setBytesSentBlock(std::move(hook));
    } else {
        request->setBytesReceivedBlock(std::move(hook));
    }
}

// Cancels the request it names when a stop is requested; a request already gone is left alone.
struct CancelOnStop {
    std::weak_ptr<HTTPRequest> request;
    void operator()() const noexcept {
        try {
            if (const auto alive = request.lock()) {
                alive->cancel();
            }
        } catch (...) {
            // Only memory exhaustion gets here; the request then runs to its end.
        }
    }
};

// The registration on the caller's stop token lives as long as the request's hooks, in the
// failed hook, so that it goes when the request ends. It holds the request weakly: a cycle
// through it would keep an ended request alive until the token's owner let go.
template <class R>
void bindStop(const std::shared_ptr<R>& request, const std::stop_token& stopToken) {
    if (!stopToken.stop_possible()) {
        return;
    }
    auto registration = std::make_shared<std::stop_callback<CancelOnStop>>(
        stopToken, CancelOnStop{std::weak_ptr<HTTPRequest>(request)});
    request->setFailedBlock([failed = request->failedBlock(), registration] {
        if (failed) {
            failed();
        }
    });
}

template <class R, class CallbackSet>
void bindHooks(const std::shared_ptr<R>& request, const CallbackSet& callbacks,
               Progress direction) {
    bindLifecycle(request, callbacks);
    if constexpr (requires { callbacks.progress; }) {
        bindProgress(request, callbacks.progress, direction);
    }
    bindStop(request, callbacks.stopToken);
}

// The request that stands for an operation that cannot be sent as asked: it is started like any
// other, so that the failure reaches `failed` on the library's thread, after the operation has
// returned, and never `started`.
template <class R, class CallbackSet>
void startNeverSent(std::shared_ptr<R> request, Error error, const CallbackSet& callbacks,
                    Progress direction) {
    if (!request) {
        request = std::make_shared<R>();
    }
    request->failBeforeSending(std::move(error));
    bindHooks(request, callbacks, direction);
    request->startAsynchronous();
}

template <class R, class CallbackSet>
void runOperation(Quilo& client, const CallbackSet& callbacks, const Steps<R>& steps) noexcept {
    std::shared_ptr<R> request;
    try {
        request = steps.make();
        if (steps.params && !steps.params->ok()) {
            startNeverSent<R>(nullptr, *steps.params->misuse(), callbacks, steps.progress);
            return;
        }
        if (!request) {
            return;  // no request, nothing to configure, bind or start
        }
        if (steps.beforeConfiguration) {
            steps.beforeConfiguration(*request);
        }
        client.configureRequest(request);
        bindHooks(request, callbacks, steps.progress);
        if (steps.afterHooks) {
            steps.afterHooks(*request);
        }
        request->startAsynchronous();
    } catch (...) {
        // Only memory exhaustion or a throwing configureRequest override get here. A request
        // that was not started yet still ends through `failed`.
        try {
            if (request && request->state() == HTTPRequest::State::ready) {
                startNeverSent(
                    std::move(request),
                    detail::misuse(detail::Code::OperationFailed,
                                   std::string(steps.name) + ": " + currentExceptionText()),
                    callbacks, steps.progress);
            }
        } catch (...) {
        }
    }
}

}  // namespace quilo::detail

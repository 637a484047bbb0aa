#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>

namespace quilo {

template <class Request>
using Callback = std::function<void(const std::shared_ptr<Request>&)>;

// Bytes moved so far (cumulative, never decreasing) and the total expected (0 while unknown).
// A successful transfer ends with a report of (total, total).
template <class Request>
using ProgressCallback = std::function<void(const std::shared_ptr<Request>&, std::uint64_t sentSize,
                                            std::uint64_t total)>;

// The callables of one operation; any may be left out:
//     quilo->listBuckets({.finished = onList, .failed = onError});
// (Every member has a default initialiser so that leaving one out draws no warning.)
// Each is called on the library's network thread with the operation's request, from which it
// reads the outcome. Exactly one of finished and failed is called per operation. Do not block
// in a callable: every other request waits while it runs.
// A stop requested through stopToken cancels the operation, whether it waits, runs or has not
// started yet: it then fails with a `cancelled` error unless it has already ended.
template <class Request>
struct Callbacks {
    Callback<Request> started{};
    Callback<Request> finished{};
    Callback<Request> failed{};
    Callback<Request> headerReceived{};
    Callback<Request> redirected{};
    std::stop_token stopToken{};
};

// The callables of an upload or a download: the five above, progress, then the stop token.
template <class Request>
struct TransferCallbacks {
    Callback<Request> started{};
    Callback<Request> finished{};
    Callback<Request> failed{};
    Callback<Request> headerReceived{};
    Callback<Request> redirected{};
    ProgressCallback<Request> progress{};
    std::stop_token stopToken{};
};

}  // namespace quilo

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>

namespace quilo {

// A callable of an operation, handed the operation's request.
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
    Callback<Request> started{};         // the queue has admitted the request
    Callback<Request> finished{};        // it succeeded; its answer is on the request
    Callback<Request> failed{};          // it failed; error() on the request says why
    Callback<Request> headerReceived{};  // the final answer's headers have arrived
    Callback<Request> redirected{};      // it goes again elsewhere (another region)
    std::stop_token stopToken{};         // a stop requested through it cancels the operation
};

// The callables of an upload or a download: the five above, progress, then the stop token.
template <class Request>
struct TransferCallbacks {
    Callback<Request> started{};           // as in Callbacks
    Callback<Request> finished{};          // as in Callbacks
    Callback<Request> failed{};            // as in Callbacks
    Callback<Request> headerReceived{};    // as in Callbacks
    Callback<Request> redirected{};        // as in Callbacks
    ProgressCallback<Request> progress{};  // bytes sent by an upload, received by a download
    std::stop_token stopToken{};           // as in Callbacks
};

}  // namespace quilo

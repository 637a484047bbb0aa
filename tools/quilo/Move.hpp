#pragma once

#include <memory>
#include <vector>

#include <quilo/quilo.hpp>

#include "LocalDirectory.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

class Summary;

// A transfer done, the request that did it, and its local file, held open from the moment it
// was done: the check reads that file, whatever is put at its name meanwhile.
struct Moved {
    Transfer transfer;
    std::shared_ptr<S3Request> request;
    Descriptor file{};
    int openError = 0;  // why `file` could not be opened
};

// Holds the local file of an upload or download just done: reached through its tree's pinned
// directory, never through a link, when it is a tree's.
Moved holdDone(const Transfer& transfer, std::shared_ptr<S3Request> request, const Pinned& held);

// The second half of mv: each destination is checked whole (the object on the server by a HEAD,
// the file here by its size against the object's), and only then is its source removed; a
// source whose destination does not check stays, reported. True when every source went.
bool removeMovedSources(const std::vector<Moved>& moved, const TransferOptions& options,
                        Summary& summary);

}  // namespace quilo::cli

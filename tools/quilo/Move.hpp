#pragma once

#include <memory>
#include <vector>

#include <quilo/quilo.hpp>

#include "Transfers.hpp"

namespace quilo::cli {

class Summary;

// A transfer done, and the request that did it.
struct Moved {
    Transfer transfer;
    std::shared_ptr<S3Request> request;
};

// The second half of mv: each destination is checked whole (the object on the server by a HEAD,
// the file here by its size against the object's), and only then is its source removed; a
// source whose destination does not check stays, reported. True when every source went.
bool removeMovedSources(const std::vector<Moved>& moved, Summary& summary);

}  // namespace quilo::cli

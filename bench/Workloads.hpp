// The sections of a run; each prints its own table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Context.hpp"

namespace bench {

void runSmall(Context& context);      // many small requests at a fixed concurrency
void runTransfers(Context& context);  // large uploads and downloads, library vs curl
void runTool(Context& context);       // the quilo tool vs the other clients, one large file
void runTree(Context& context);       // trees of small files and sync
void runScale(Context& context);      // tree commands as the keys grow
void runProxy(Context& context);      // what the delay proxy itself costs and does

// Under this name runTransfers remembers the default upload's rate against curl's unsigned one
// at `mib`, which the tool's upload of that size is held to.
std::string uploadRatioName(std::uint64_t mib);

// Why the tree and scale sections run no rows of a peer client, if they run none.
std::optional<std::string> leftOut(const Context& context, Tool tool);

}  // namespace bench

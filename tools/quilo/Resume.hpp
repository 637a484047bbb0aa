#pragma once

#include <optional>
#include <string>

#include "S3Url.hpp"

namespace quilo::cli {

// Whether large uploads keep a journal to be carried on by a later run (the default;
// --no-resume turns it off).
bool& resumes();

// The journal of the upload to `remote` at the current endpoint, under $XDG_CACHE_HOME/quilo
// (else ~/.cache/quilo), which is made private to the user if it is not there; nullopt when
// resuming is off or there is no such directory to be had.
std::optional<std::string> uploadJournal(const S3Url& remote);

}  // namespace quilo::cli

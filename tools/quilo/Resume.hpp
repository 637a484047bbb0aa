#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "S3Url.hpp"

namespace quilo::cli {

// Whether large transfers keep a journal to be carried on by a later run (the default;
// --no-resume turns it off).
bool& resumes();

// The part and range size while resuming is on.
constexpr std::uint64_t kResumablePieceBytes = 8u << 20;

// The journal of the upload to `remote`, or of the download of `remote` into `local`, at the
// current endpoint, under $XDG_CACHE_HOME/quilo (else ~/.cache/quilo), which is made private to
// the user if it is not there; nullopt when resuming is off or there is no such directory.
std::optional<std::string> uploadJournal(const S3Url& remote);
std::optional<std::string> downloadJournal(const S3Url& remote, const std::string& local);

}  // namespace quilo::cli

#pragma once

#include <chrono>
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

// A live download rewrites its journal with every range, and a killed transfer is run again
// within days if ever: a journal left this long is one that nothing will read.
constexpr std::chrono::hours kJournalAge{24 * 7};

// The journal of the upload to `remote`, or of the download of `remote` into `local`, at the
// current endpoint, under $XDG_CACHE_HOME/quilo (else ~/.cache/quilo), which is made private to
// the user if it is not there; nullopt when resuming is off or there is no such directory.
std::optional<std::string> uploadJournal(const S3Url& remote);
std::optional<std::string> downloadJournal(const S3Url& remote, const std::string& local);

// Removes the journals in that directory, if it is there, that no transfer has written for
// `age`: those of transfers killed and never run again, or that a run never read since it had
// nothing left to do (an upload the service completed after its client died). Only files of
// the journals' own names, regular and the user's, are looked at.
void sweepJournals(std::chrono::seconds age);

}  // namespace quilo::cli

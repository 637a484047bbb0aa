// The jobs this binary runs in a child process with the library doing the work: what the
// library's rows measure, and the clean-up of the buckets a run fills.
#pragma once

#include "Settings.hpp"

namespace bench {

// Runs s.job against s.endpoint; the exit status says whether it all succeeded.
int runLibraryJob(const Settings& s);

}  // namespace bench

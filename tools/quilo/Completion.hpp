#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace quilo::cli {

// The name of the hidden command the scripts call: "quilo __complete -- WORD... CURRENT".
inline constexpr const char* completeCommand = "__complete";

// completion bash|zsh|fish: a script that asks `quilo __complete` for its candidates.
int printCompletionScript(const std::string& shell);

// The candidates for the last of `words` (what follows "quilo", the last being completed, maybe
// empty), one a line: the commands and options of the command the words have chosen, or for
// s3://, buckets and the keys and prefixes of one page of a listing. The listing is given a few
// seconds: a completion must never hang a shell.
int complete(const CLI::App& app, const std::vector<std::string>& words);

}  // namespace quilo::cli

#include "Completion.hpp"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <set>

#include <CLI/CLI.hpp>

#include "Batch.hpp"
#include "S3Url.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

namespace {

// Each asks `quilo __complete` with the words up to the cursor, the last maybe empty, and takes
// an answer ending in '/' without a space after it, so that a listing can go on below it. With
// no answer, files are completed.
const std::map<std::string, const char*> scripts = {
    {"bash", R"script(# bash completion for quilo: source it, or save it as
# ~/.local/share/bash-completion/completions/quilo
_quilo() {
    local line=${COMP_LINE:0:COMP_POINT} head i
    local -a words
    # Without -r, read takes "my\ file" for the one word it stands for.
    read -a words <<<"$line"
    [[ $line == *[[:space:]] && $line != *\\[[:space:]] ]] && words+=("")
    local IFS=$'\n'
    COMPREPLY=($("${words[0]}" __complete -- "${words[@]:1}" 2>/dev/null))
    # bash splits a word at ':' as well: the answers go in after the last one.
    if [[ ${words[-1]} == *:* ]]; then
        head=${words[-1]%"${words[-1]##*:}"}
        COMPREPLY=("${COMPREPLY[@]#"$head"}")
    fi
    # Each answer goes in as one word, its spaces and quotes escaped.
    for i in "${!COMPREPLY[@]}"; do
        printf -v 'COMPREPLY[i]' %q "${COMPREPLY[i]}"
    done
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]] && compopt -o nospace
    return 0
}
complete -o default -F _quilo quilo
)script"},
    {"zsh", R"script(#compdef quilo
# zsh completion for quilo: save it as _quilo in a directory of $fpath, or source it
_quilo() {
    local -a found folders
    found=(${(f)"$(${words[1]} __complete -- "${(@Q)words[2,CURRENT]}" 2>/dev/null)"})
    if (( ${#found} == 0 )); then
        _files
        return
    fi
    folders=(${(M)found:#*/})
    found=(${found:#*/})
    (( ${#folders} )) && compadd -S '' -- $folders
    (( ${#found} )) && compadd -- $found
    return 0
}
if [[ $funcstack[1] == _quilo ]]; then _quilo "$@"; else compdef _quilo quilo; fi
)script"},
    {"fish", R"script(# fish completion for quilo: save it as ~/.config/fish/completions/quilo.fish
function __quilo_complete
    set -l words (commandline -opc) (commandline -ct)
    $words[1] __complete -- $words[2..-1] 2>/dev/null
end
complete -c quilo -a '(__quilo_complete)'
)script"},
};

// Buckets, or the prefixes and keys of one page below what is typed.
void completeUrl(const std::string& typed) {
    // A listing that hangs ends the process, and the shell sees no answer.
    ::alarm(3);
    Quilo& quilo = client();
    const auto rest = typed.substr(5);
    if (rest.find('/') == std::string::npos) {
        const auto listed = await<QuiloServiceRequest>(
            "ls", "buckets", [&](auto callbacks) { quilo.listBuckets(callbacks); });
        for (const auto& bucket : listed ? listed->buckets() : std::vector<S3Bucket>{}) {
            std::cout << "s3://" << bucket.name << "/\n";
        }
        return;
    }
    const S3Url url = parseS3Url(typed);
    const ValueMap param{{"bucket", url.bucket},
                         {"prefix", url.key},
                         {"delimiter", "/"},
                         {"maxKeys", std::int32_t{1000}}};
    const auto page = await<QuiloBucketRequest>(
        "ls", typed, [&](auto callbacks) { quilo.listObjectsV2(param, callbacks); });
    if (!page) {
        return;
    }
    // A name holding a control character could not be typed, and could split into two answers
    // or rewrite the terminal: it is not offered.
    const auto offer = [&](const std::string& key) {
        if (std::none_of(key.begin(), key.end(),
                         [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
            std::cout << S3Url{url.bucket, key}.text() << '\n';
        }
    };
    for (const auto& prefix : page->commonPrefixes()) {
        offer(prefix);
    }
    for (const auto& object : page->objects()) {
        offer(object.key);
    }
}

bool shown(const CLI::App* command) {
    return !command->get_group().empty();
}

}  // namespace

int printCompletionScript(const std::string& shell) {
    std::cout << scripts.at(shell);
    return 0;
}

int complete(const CLI::App& app, const std::vector<std::string>& words) {
    const CLI::App* command = &app;
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        for (const auto* sub : command->get_subcommands({})) {
            if (sub->get_name() == words[i] && shown(sub)) {
                command = sub;
                break;
            }
        }
    }
    const std::string current = words.empty() ? "" : words.back();
    if (current.starts_with("s3://")) {
        completeUrl(current);
        return 0;
    }
    std::set<std::string> candidates;
    if (current.starts_with('-')) {
        for (const CLI::App* at = command; at; at = at->get_parent()) {
            for (const auto* option : at->get_options()) {
                for (const auto& name : option->get_lnames()) {
                    candidates.insert("--" + name);
                }
                for (const auto& name : option->get_snames()) {
                    candidates.insert("-" + name);
                }
            }
        }
    } else {
        for (const auto* sub : command->get_subcommands({})) {
            if (shown(sub)) {
                candidates.insert(sub->get_name());
            }
        }
    }
    for (const auto& candidate : candidates) {
        if (candidate.starts_with(current)) {
            std::cout << candidate << '\n';
        }
    }
    return 0;
}

}  // namespace quilo::cli

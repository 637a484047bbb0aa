#pragma once

#include <string>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Output.hpp"
#include "S3Url.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

// Pages through a listing of `url` that the facade gives a page at a time: `send(quilo, param,
// callbacks)` asks for the page `param` describes, `each(page)` takes it, and `next(page,
// param)` moves `param` past it, false when its markers would not move (which would page for
// ever). False when a request failed or the listing stuck (reported on stderr).
template <class Send, class Each, class Next>
bool forEachListed(const S3Url& url, ValueMap param, Send send, Each each, Next next) {
    for (;;) {
        const auto page = await<QuiloBucketRequest>(
            "ls", url.text(), [&](auto callbacks) { send(client(), param, callbacks); });
        if (!page) {
            return false;
        }
        each(*page);
        if (!page->isTruncated()) {
            return true;
        }
        if (!next(*page, param)) {
            printFailure("ls " + url.text(), "the listing did not move on");
            return false;
        }
    }
}

// Sets `param[key]` to `value` (an empty one asks for nothing); whether that changed it.
inline bool advance(ValueMap& param, const std::string& key, const std::string& value) {
    const auto* now = param[key] ? param[key]->getIf<std::string>() : nullptr;
    const bool moved = now ? *now != value : !value.empty();
    param[key] = value.empty() ? std::nullopt : std::optional<Value>(value);
    return moved;
}

}  // namespace quilo::cli

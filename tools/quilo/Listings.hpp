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
// param)` moves `param` past it (the library fails a page that would not move on). False when
// a request failed (reported on stderr).
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
        next(*page, param);
    }
}

// Sets `param[key]` to `value` (an empty one asks for nothing).
inline void advance(ValueMap& param, const std::string& key, const std::string& value) {
    param[key] = value.empty() ? std::nullopt : std::optional<Value>(value);
}

}  // namespace quilo::cli

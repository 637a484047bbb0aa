#include "Tree.hpp"

#include <fnmatch.h>
#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <ctime>

#include "Batch.hpp"
#include "Output.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

std::shared_ptr<QuiloBucketRequest> Pages::next() {
    if (over_ || failed_) {
        return nullptr;
    }
    // The pages and the transfers between them leave free memory scattered through the heap,
    // which the allocator keeps resident however little is in use: a run over many keys would
    // grow with them. Handing it back once a page costs a fraction of a page's request.
    ::malloc_trim(0);
    const ValueMap param{{"bucket", url_.bucket},
                         {"maxKeys", pageSize_},
                         {"prefix", url_.key},
                         {"delimiter", delimiter_},
                         {"marker", marker_}};
    auto listed = await<QuiloBucketRequest>(
        "ls", url_.text(), [&](auto callbacks) { client().listObjects(param, callbacks); });
    failed_ = !listed;
    over_ = !listed || !listed->isTruncated();
    if (!over_) {  // the library fails a page whose marker would not move on
        marker_ = listed->nextMarker();
    }
    return listed;
}

bool forEachPage(const S3Url& url, const std::string& delimiter, std::int32_t pageSize,
                 const std::function<void(const QuiloBucketRequest&)>& page) {
    Pages pages(url, delimiter, pageSize);
    while (const auto listed = pages.next()) {
        page(*listed);
    }
    return !pages.failed();
}

std::optional<TreeEntry> RemoteListing::next() {
    const S3Url& folder = pages_.url();
    while (!wentBack_) {
        if (!page_ || at_ == page_->objects().size()) {
            at_ = 0;
            if (!(page_ = pages_.next())) {
                return std::nullopt;
            }
            continue;
        }
        const auto& object = page_->objects()[at_++];
        if (!object.key.starts_with(folder.key)) {
            summary_.failed("list", S3Url{folder.bucket, object.key}.text(),
                            "refused: the listing of " + folder.text() + " named it");
            continue;
        }
        auto entry = listedEntry(object, folder.key);
        if (ordered_ && last_ && entry.first <= *last_) {
            printFailure("ls", "the listing went back from '" + escaped(*last_) + "' to '" +
                                   escaped(entry.first) + "'");
            wentBack_ = true;
            return std::nullopt;
        }
        if (ordered_) {
            last_ = entry.first;
        }
        return entry;
    }
    return std::nullopt;
}

TreeEntry listedEntry(const S3Object& object, std::string_view folderKey) {
    return TreeEntry{object.key.substr(folderKey.size()),
                     {.size = object.size,
                      .modifiedMs = parseTimestamp(object.lastModified),
                      .etag = object.etag}};
}

bool Filter::accepts(const std::string& path) const {
    for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
        if (::fnmatch(rule->second.c_str(), path.c_str(), 0) == 0) {
            return rule->first;
        }
    }
    return true;
}

std::optional<std::string> localPath(std::string_view path) {
    std::string local;
    for (std::size_t start = 0; start <= path.size();) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") {
            return std::nullopt;
        }
        if (!segment.empty()) {
            local.append(local.empty() ? "" : "/").append(segment);
        }
        start = end + 1;
    }
    return local.empty() ? std::nullopt : std::optional(std::move(local));
}

std::optional<std::int64_t> parseTimestamp(std::string_view iso8601) {
    // The fraction of a second comes out first: strptime has no field for it.
    std::string text(iso8601);
    std::int64_t millis = 0;
    if (const auto dot = text.find('.'); dot != std::string::npos) {
        auto end = dot + 1;
        for (int scale = 100;
             end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]));
             ++end, scale /= 10) {
            millis += (text[end] - '0') * scale;
        }
        text.erase(dot, end - dot);
    }
    std::tm time{};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S%z", &time);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    const long offset = time.tm_gmtoff;  // timegm() resets it
    return (static_cast<std::int64_t>(::timegm(&time)) - offset) * 1000 + millis;
}

}  // namespace quilo::cli

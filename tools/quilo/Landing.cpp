#include "Landing.hpp"

#include "LocalDirectory.hpp"
#include "Output.hpp"
#include "Summary.hpp"

namespace quilo::cli {

namespace {

// Past this many held paths, the range that the next one waits for is listed ahead: a request
// at most for so many paths held.
constexpr std::size_t kHeldPaths = 64;
constexpr std::int32_t kAheadKeys = 1000;

}  // namespace

Landings::Landings(RemoteListing& listing, const Filter& filter, const S3Url& folder,
                   Summary& summary)
    : listing_(listing),
      filter_(filter),
      folder_(folder),
      summary_(summary),
      remote_(listing.next()) {}

void Landings::beside(LocalWalk& walk) {
    walk_ = &walk;
    local_ = walk.next();
}

// A listing that failed tells nothing of what it did not list: nothing more comes out, lest a
// file it would have named be taken for one no key stands for.
std::optional<Landing> Landings::next() {
    for (;;) {
        if (failed()) {
            return std::nullopt;
        }
        const bool over = !remote_ && !local_;
        if (!bounds_.empty()) {
            const std::string& bound = bounds_.begin()->first;
            if (over ||
                ((!remote_ || bound <= remote_->first) && (!local_ || bound <= local_->first))) {
                auto held = held_.extract(bounds_.begin()->second);
                bounds_.erase(bounds_.begin());
                return std::move(held.mapped());
            }
        }
        if (over) {
            return std::nullopt;
        }
        step();
    }
}

// The side whose head comes first moves on, so that both have always gone past a path that
// comes out.
void Landings::step() {
    if (remote_ && (!local_ || remote_->first < local_->first)) {
        taken_ = remote_->first;
        if (!listedAhead(taken_)) {
            take(std::move(*remote_), true);
        }
        remote_ = listing_.next();
    } else {
        take(std::move(*local_), false);
        local_ = walk_->next();
    }
    while (ahead_ && !failed_) {
        const auto range = std::move(*ahead_);
        ahead_.reset();
        listAhead(range);
    }
}

void Landings::take(TreeEntry entry, bool remote) {
    auto& [name, file] = entry;
    if (!remote) {
        at(name).local = std::move(file);
        return;
    }
    // Folder markers ("photos/") stand for no file.
    if (name.empty() || name.ends_with('/') || !filter_.accepts(name)) {
        return;
    }
    const auto path = localPath(name);
    if (!path) {
        summary_.failed("download", S3Url{folder_.bucket, folder_.key + name}.text(),
                        "refused: its name below " + folder_.text() + " holds a . or .. segment");
        return;
    }
    file.key = std::move(name);
    at(*path).keys.push_back(std::move(file));
    for (auto slash = path->find('/'); slash != std::string::npos;
         slash = path->find('/', slash + 1)) {
        at(path->substr(0, slash)).needed = true;
    }
}

Landing& Landings::at(const std::string& path) {
    const auto [found, added] = held_.try_emplace(path, Landing{path});
    if (added) {
        const auto range = waitsFor(path);
        bounds_.emplace(range ? *range + "0" : path + "0", path);
        if (range && held_.size() > kHeldPaths && !ranges_.contains(*range)) {
            ahead_ = range;
        }
    }
    return found->second;
}

// Every key still to come that is saved at `path` or below it lists before the bound this
// gives. Such a key starts with "<path>/", below "<path>0"; or it doubles a slash (or leads
// with one) where a name of `path` starts with a byte below '/', and then lists after `path`,
// in the range of keys that start with that same start followed by "/", unless that range
// was listed ahead. The first such range not listed ahead, if any.
std::optional<std::string> Landings::waitsFor(const std::string& path) const {
    for (std::size_t start = 0; start < path.size();) {
        if (static_cast<unsigned char>(path[start]) < '/') {
            auto range = path.substr(0, start) + "/";
            const auto listed = ranges_.find(range);
            if (listed == ranges_.end() || !listed->second) {
                return range;
            }
        }
        const auto slash = path.find('/', start);
        start = slash == std::string::npos ? path.size() : slash + 1;
    }
    return std::nullopt;
}

// Whether `key` is in a range listed ahead, and so taken already: the ranges start with a
// slash or end with two.
bool Landings::listedAhead(const std::string& key) const {
    for (auto slash = key.find('/'); slash != std::string::npos && !ranges_.empty();
         slash = key.find('/', slash + 1)) {
        if (slash == 0 || key[slash - 1] == '/') {
            const auto listed = ranges_.find(key.substr(0, slash + 1));
            if (listed != ranges_.end() && listed->second) {
                return true;
            }
        }
    }
    return false;
}

// The listing has taken the range's keys up to taken_; the rest are taken now, and the paths
// that waited for them wait for what else they may. A key the listing has passed without
// naming it (written since) is left out, as the listing left it: no path it saves at may come
// out twice.
void Landings::listAhead(const std::string& range) {
    const auto bound = range + "0";
    ranges_[range] = true;
    if (remote_ && remote_->first < bound) {
        Pages pages(S3Url{folder_.bucket, folder_.key + range}, "", kAheadKeys,
                    folder_.key + taken_);
        const auto page = pages.next();
        failed_ = !page;
        if (!page || page->isTruncated()) {
            ranges_[range] = false;
            return;
        }
        std::string last = taken_;
        for (const auto& object : page->objects()) {
            if (!object.key.starts_with(folder_.key + range) ||
                object.key.substr(folder_.key.size()) <= last) {
                printFailure("ls", "the listing of " + escaped(folder_.key + range) +
                                       " went from '" + escaped(last) + "' to '" +
                                       escaped(object.key) + "'");
                failed_ = true;
                return;
            }
            auto entry = listedEntry(object, folder_.key);
            last = entry.first;
            if (entry.first >= remote_->first) {
                take(std::move(entry), true);
            }
        }
    }
    auto waiting = bounds_.lower_bound({bound, ""});
    std::vector<std::string> paths;
    while (waiting != bounds_.end() && waiting->first == bound) {
        paths.push_back(waiting->second);
        waiting = bounds_.erase(waiting);
    }
    for (auto& path : paths) {
        const auto next = waitsFor(path);
        bounds_.emplace(next ? *next + "0" : path + "0", std::move(path));
    }
}

}  // namespace quilo::cli

#include "Landing.hpp"

#include "LocalDirectory.hpp"
#include "Summary.hpp"

namespace quilo::cli {

namespace {

// Every key still to come that is saved at `path` or below it lists before this. Such a key
// starts with "<path>/", below "<path>0"; or it doubles a slash (or leads with one) where a
// name of `path` starts with a byte below '/', and then lists after `path` but before that
// same start followed by "/0".
std::string bound(const std::string& path) {
    for (std::size_t start = 0; start < path.size();) {
        if (static_cast<unsigned char>(path[start]) < '/') {
            return path.substr(0, start) + "/0";
        }
        const auto slash = path.find('/', start);
        start = slash == std::string::npos ? path.size() : slash + 1;
    }
    return path + "0";
}

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
        if (listing_.failed()) {
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
        take(std::move(*remote_), true);
        remote_ = listing_.next();
    } else {
        take(std::move(*local_), false);
        local_ = walk_->next();
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
        bounds_.emplace(bound(path), path);
    }
    return found->second;
}

}  // namespace quilo::cli

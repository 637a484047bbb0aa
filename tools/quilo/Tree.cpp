#include "Tree.hpp"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Batch.hpp"
#include "Output.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

namespace fs = std::filesystem;

namespace {

std::int64_t modifiedMs(const struct stat& status) {
    return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000 +
           status.st_mtim.tv_nsec / 1000000;
}

struct Walk {
    bool follow;
    Tree& tree;
    Summary& summary;
    std::vector<std::pair<dev_t, ino_t>> ancestors;  // only while following links

    void directory(const fs::path& path, const std::string& relative);
    void entry(const fs::directory_entry& entry, const std::string& relative);
};

void Walk::directory(const fs::path& path, const std::string& relative) {
    struct stat status {};
    const bool tracked = follow && ::stat(path.c_str(), &status) == 0;
    if (tracked) {
        const std::pair id{status.st_dev, status.st_ino};
        if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
            summary.failed("read", path.string(),
                           "a symbolic link loops back to a directory above");
            return;
        }
        ancestors.push_back(id);
    }
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        entry(*it, relative + it->path().filename().string());
    }
    if (error) {
        summary.failed("read", path.string(), error.message());
    }
    if (tracked) {
        ancestors.pop_back();
    }
}

void Walk::entry(const fs::directory_entry& entry, const std::string& relative) {
    std::error_code error;
    // symlink_status comes with the directory listing; status costs a stat of its own.
    const auto type = follow ? entry.status(error).type() : entry.symlink_status(error).type();
    if (type == fs::file_type::directory) {
        directory(entry.path(), relative + '/');
    } else if (type == fs::file_type::regular) {
        struct stat status {};
        if (::stat(entry.path().c_str(), &status) != 0) {
            summary.failed("read", entry.path().string(), std::strerror(errno));
            return;
        }
        tree[relative] = {static_cast<std::uint64_t>(status.st_size), modifiedMs(status)};
    }
}

}  // namespace

Tree localTree(const fs::path& root, bool followSymlinks, Summary& summary) {
    Tree tree;
    Walk{followSymlinks, tree, summary, {}}.directory(root, "");
    return tree;
}

bool forEachPage(const S3Url& url, const std::string& delimiter, std::int32_t pageSize,
                 const std::function<void(const QuiloBucketRequest&)>& page) {
    std::string marker;
    for (;;) {
        const ValueMap param{{"bucket", url.bucket},
                             {"maxKeys", pageSize},
                             {"prefix", url.key},
                             {"delimiter", delimiter},
                             {"marker", marker}};
        const auto listed = await<QuiloBucketRequest>(
            "ls", url.text(), [&](auto callbacks) { client().listObjects(param, callbacks); });
        if (!listed) {
            return false;
        }
        page(*listed);
        if (!listed->isTruncated()) {
            return true;
        }
        // A marker that does not move would page forever.
        if (listed->nextMarker().empty() || listed->nextMarker() == marker) {
            printFailure("ls " + url.text(), "the listing did not move past '" + marker + "'");
            return false;
        }
        marker = listed->nextMarker();
    }
}

std::optional<Tree> remoteTree(const S3Url& folder) {
    Tree tree;
    const bool ok = forEachPage(folder, "", 1000, [&](const QuiloBucketRequest& page) {
        for (const auto& object : page.objects()) {
            tree[object.key.substr(folder.key.size())] = {
                object.size, parseTimestamp(object.lastModified).value_or(0)};
        }
    });
    return ok ? std::optional(std::move(tree)) : std::nullopt;
}

bool Filter::accepts(const std::string& path) const {
    for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
        if (::fnmatch(rule->second.c_str(), path.c_str(), 0) == 0) {
            return rule->first;
        }
    }
    return true;
}

std::string_view unsafePath(std::string_view path) {
    if (path.starts_with('/')) {
        return "starts with /";
    }
    for (std::size_t start = 0; start <= path.size();) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto segment = path.substr(start, end - start);
        if (segment == "..") {
            return "holds a .. segment";
        }
        if (segment.empty() || segment == ".") {
            return "holds an empty or . segment";
        }
        start = end + 1;
    }
    return {};
}

std::set<std::string> clashingPaths(const Tree& tree) {
    std::set<std::string> clashes;
    for (const auto& [path, file] : tree) {
        for (auto slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            if (const auto above = path.substr(0, slash); tree.contains(above)) {
                clashes.insert(above);
            }
        }
    }
    return clashes;
}

std::string makeParents(const fs::path& root, const std::string& path,
                        std::set<std::string>& checked) {
    for (auto slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        if (checked.contains(directory)) {
            continue;
        }
        const auto full = root / directory;
        struct stat status {};
        if (::lstat(full.c_str(), &status) != 0 &&
            (::mkdir(full.c_str(), 0777) != 0 || ::lstat(full.c_str(), &status) != 0)) {
            return full.string() + ": " + std::strerror(errno);
        }
        if (!S_ISDIR(status.st_mode)) {
            return full.string() + " is not a directory";
        }
        checked.insert(directory);
    }
    return {};
}

std::optional<std::int64_t> parseTimestamp(std::string_view iso8601) {
    std::tm time{};
    int consumed = 0;
    const std::string text(iso8601);
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &time.tm_year, &time.tm_mon,
                    &time.tm_mday, &time.tm_hour, &time.tm_min, &time.tm_sec, &consumed) != 6) {
        return std::nullopt;
    }
    time.tm_year -= 1900;
    time.tm_mon -= 1;
    std::int64_t millis = 0;
    if (text[static_cast<std::size_t>(consumed)] == '.') {
        // Milliseconds from the first three digits of the fraction, however many there are.
        int scale = 100;
        for (auto i = static_cast<std::size_t>(consumed) + 1;
             i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
             ++i, scale /= 10) {
            millis += (text[i] - '0') * scale;
        }
    }
    return static_cast<std::int64_t>(::timegm(&time)) * 1000 + millis;
}

bool setModified(const std::string& path, std::int64_t modifiedMs) {
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(modifiedMs / 1000), static_cast<long>(modifiedMs % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace quilo::cli

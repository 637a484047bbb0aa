#include "LocalDirectory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "Batch.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"

namespace quilo::cli {

namespace {

std::string reason() {
    return std::strerror(errno);
}

std::int64_t modifiedMs(const struct stat& status) {
    return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000 +
           status.st_mtim.tv_nsec / 1000000;
}

struct CloseDirectory {
    void operator()(DIR* listing) const { ::closedir(listing); }
};

}  // namespace

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool LocalTree::mayHold(const std::string& path) const {
    return std::any_of(unread.begin(), unread.end(), [&](const std::string& part) {
        return part.empty() || path == part || (part.ends_with('/') && path.starts_with(part));
    });
}

std::string Pinned::path() const {
    return "/proc/self/fd/" + std::to_string(directory.get()) + "/" + name;
}

// O_PATH: a directory that cannot be read can still be walked into, and its walk reported.
LocalDirectory::LocalDirectory(std::string path)
    : path_(std::move(path)), fd_(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_.get() < 0) {
        throw UsageError(path_ + ": " + reason());
    }
}

std::string LocalDirectory::shown(const std::string& relative) const {
    return relative.empty() ? path_ : path_ + (path_.ends_with('/') ? "" : "/") + relative;
}

Descriptor LocalDirectory::open() const {
    return Descriptor(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A directory on the way: its entries' names in the order of their keys, a directory's with
// '/' after it, and how far the walk has gone through them.
struct LocalWalk::Level {
    std::unique_ptr<DIR, CloseDirectory> listing;
    std::string relative;  // "" or ending in '/'
    std::pair<dev_t, ino_t> id;
    std::vector<std::string> names{};
    std::size_t at = 0;
};

LocalWalk::LocalWalk(const LocalDirectory& root, bool followLinks, Summary& summary)
    : root_(root), follow_(followLinks), summary_(summary) {
    Descriptor top = root.open();
    top.get() < 0 ? unread("", reason()) : enter(top.release(), "");
}

LocalWalk::~LocalWalk() = default;

void LocalWalk::unread(const std::string& relative, const std::string& why) {
    summary_.failed("read", root_.shown(relative), why);
    unread_.unread.push_back(relative);
}

// Reads the directory open as `fd`, which it takes over, and goes into it.
void LocalWalk::enter(int fd, const std::string& relative) {
    struct stat self {};
    DIR* opened = ::fstat(fd, &self) == 0 ? ::fdopendir(fd) : nullptr;
    if (!opened) {
        unread(relative, reason());
        ::close(fd);
        return;
    }
    Level level{std::unique_ptr<DIR, CloseDirectory>(opened), relative, {self.st_dev, self.st_ino}};
    if (std::any_of(levels_.begin(), levels_.end(),
                    [&](const Level& l) { return l.id == level.id; })) {
        unread(relative, "a symbolic link loops back to a directory above");
        return;
    }
    errno = 0;
    while (const dirent* found = interrupted() ? nullptr : ::readdir(opened)) {
        const std::string name = found->d_name;
        bool directory = found->d_type == DT_DIR;
        if (found->d_type == DT_UNKNOWN || (follow_ && found->d_type == DT_LNK)) {
            // Kept as a file when it cannot be told: visiting it says what it is.
            struct stat status {};
            directory = ::fstatat(::dirfd(opened), found->d_name, &status,
                                  follow_ ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISDIR(status.st_mode);
        }
        if (name != "." && name != "..")
            level.names.push_back(directory ? name + '/' : name);
        errno = 0;
    }
    if (errno != 0)
        unread(relative, reason());
    std::sort(level.names.begin(), level.names.end());
    levels_.push_back(std::move(level));
}

std::optional<TreeEntry> LocalWalk::next() {
    while (!levels_.empty()) {
        Level& level = levels_.back();
        if (level.at == level.names.size()) {
            levels_.pop_back();
            continue;
        }
        const std::string name = std::move(level.names[level.at++]);
        if (auto file = visit(level, name))
            return file;
    }
    return std::nullopt;
}

// A directory is gone into; a file, when it still is one, is the walk's next.
std::optional<TreeEntry> LocalWalk::visit(Level& level, const std::string& name) {
    const int parent = ::dirfd(level.listing.get());
    if (name.ends_with('/')) {
        const std::string relative = level.relative + name;
        const int child = ::openat(parent, name.substr(0, name.size() - 1).c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_ ? 0 : O_NOFOLLOW));
        child < 0 ? unread(relative, reason()) : enter(child, relative);
        return std::nullopt;
    }
    const std::string relative = level.relative + name;
    struct stat status {};
    if (::fstatat(parent, name.c_str(), &status, follow_ ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)  // gone since it was listed, or a link to nothing: no file there
            unread(relative, reason());
        return std::nullopt;
    }
    if (S_ISDIR(status.st_mode)) {  // made since it was listed: out of the walk's order
        unread(relative + '/', "it became a directory while being read");
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode))
        return std::nullopt;
    return TreeEntry{relative, {static_cast<std::uint64_t>(status.st_size), modifiedMs(status)}};
}

std::variant<Pinned, std::string> LocalDirectory::pin(const std::string& relative,
                                                      bool forWriting) const {
    constexpr int kDirectory = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Descriptor at(::openat(fd_.get(), ".", kDirectory));
    std::size_t start = 0;
    for (auto slash = relative.find('/'); slash != std::string::npos;
         start = slash + 1, slash = relative.find('/', start)) {
        const std::string name = relative.substr(start, slash - start);
        int next = ::openat(at.get(), name.c_str(), kDirectory);
        if (next < 0 && errno == ENOENT && forWriting &&
            (::mkdirat(at.get(), name.c_str(), 0777) == 0 || errno == EEXIST)) {
            next = ::openat(at.get(), name.c_str(), kDirectory);
        }
        if (next < 0) {
            const bool other = errno == ENOTDIR || errno == ELOOP;
            return shown(relative.substr(0, slash)) +
                   (other ? " is not a directory" : ": " + reason());
        }
        at = Descriptor(next);
    }
    Pinned file{std::move(at), relative.substr(start)};
    struct stat status {};
    if (forWriting &&
        ::fstatat(file.directory.get(), file.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
        return shown(relative) + " is not a regular file";
    }
    return file;
}

std::string LocalDirectory::remove(const std::string& relative) const {
    auto pinned = pin(relative, false);
    if (const auto* why = std::get_if<std::string>(&pinned)) {
        return *why;
    }
    const auto& file = std::get<Pinned>(pinned);
    return ::unlinkat(file.directory.get(), file.name.c_str(), 0) == 0 ? std::string() : reason();
}

bool setModified(const Pinned& file, std::int64_t modifiedMs) {
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(modifiedMs / 1000), static_cast<long>(modifiedMs % 1000) * 1000000}};
    return ::utimensat(file.directory.get(), file.name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace quilo::cli

#include "LocalDirectory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

struct Walk {
    const LocalDirectory& root;
    bool follow;
    Summary& summary;
    LocalTree& tree;
    std::vector<std::pair<dev_t, ino_t>> ancestors{};

    void unread(const std::string& relative, const std::string& why) {
        summary.failed("read", root.shown(relative), why);
        tree.unread.push_back(relative);
    }
    void directory(int fd, const std::string& relative);
    void entry(int parent, const std::string& name, const std::string& relative);
};

// Lists the directory open as `fd`, which it takes over; `relative` is "" or ends in '/'.
void Walk::directory(int fd, const std::string& relative) {
    struct stat self {};
    DIR* listing = ::fstat(fd, &self) == 0 ? ::fdopendir(fd) : nullptr;
    if (!listing) {
        unread(relative, reason());
        ::close(fd);
        return;
    }
    const std::pair id{self.st_dev, self.st_ino};
    if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
        unread(relative, "a symbolic link loops back to a directory above");
        ::closedir(listing);
        return;
    }
    ancestors.push_back(id);
    errno = 0;
    while (const dirent* found = interrupted() ? nullptr : ::readdir(listing)) {
        const std::string name = found->d_name;
        if (name != "." && name != "..")
            entry(::dirfd(listing), name, relative + name);
        errno = 0;
    }
    if (errno != 0)
        unread(relative, reason());
    ancestors.pop_back();
    ::closedir(listing);
}

void Walk::entry(int parent, const std::string& name, const std::string& relative) {
    struct stat status {};
    if (::fstatat(parent, name.c_str(), &status, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)  // gone since it was listed, or a link to nothing: no file there
            unread(relative, reason());
        return;
    }
    if (S_ISREG(status.st_mode)) {
        tree.files[relative] = {static_cast<std::uint64_t>(status.st_size), modifiedMs(status)};
    } else if (S_ISDIR(status.st_mode)) {
        const int child = ::openat(parent, name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
        child < 0 ? unread(relative + '/', reason()) : directory(child, relative + '/');
    }
}

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

LocalTree LocalDirectory::walk(bool followLinks, Summary& summary) const {
    LocalTree tree;
    Walk walk{*this, followLinks, summary, tree};
    const int fd = ::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fd < 0 ? walk.unread("", reason()) : walk.directory(fd, "");
    return tree;
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

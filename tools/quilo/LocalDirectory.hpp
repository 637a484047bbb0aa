#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Tree.hpp"

namespace quilo::cli {

class Summary;

// An open file descriptor, closed with the object.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor();
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

// The parts of a directory that could not be read.
struct LocalTree {
    std::vector<std::string> unread;  // relative paths; a directory's ends in '/' ("" for all)

    // Whether `path` could be below a part that could not be read.
    bool mayHold(const std::string& path) const;
};

// A file below a LocalDirectory, held for a request: its directory stays open, and the path
// "/proc/self/fd/<n>/<name>" leads into that very directory whatever happens to the names on
// the way meanwhile.
struct Pinned {
    Descriptor directory;
    std::string name;

    std::string path() const;
};

// The directory of a tree command, opened once. Everything below it is reached from its
// descriptor, one name at a time and never through a symbolic link, so that a directory swapped
// for a link meanwhile can lead no read, write or removal outside it.
class LocalDirectory {
  public:
    // Throws UsageError when `path` cannot be opened as a directory.
    explicit LocalDirectory(std::string path);

    // "<path>/<relative>", for people.
    std::string shown(const std::string& relative) const;
    // A descriptor of the directory itself, for reading it.
    Descriptor open() const;
    // The file `relative`, its directory reached and held. For writing, missing directories are
    // made and anything but a regular file at the name is refused. Otherwise: why not.
    std::variant<Pinned, std::string> pin(const std::string& relative, bool forWriting) const;
    // Removes the file `relative`; empty, or why it could not.
    std::string remove(const std::string& relative) const;

  private:
    std::string path_;
    Descriptor fd_;
};

// The regular files below a LocalDirectory, one at a time, in the byte order of their paths,
// which is the order of a bucket's listing of the same keys: a directory's entries are sorted
// as the keys below them sort ("a-b" and "a.b" before the files of "a/", "a0" after them).
// Only the directories on the way to the current file are held, each with its entries' names.
// Symbolic links are skipped unless followed (a link back to a directory above is then skipped
// and reported); what cannot be read is reported to `summary`.
class LocalWalk {
  public:
    LocalWalk(const LocalDirectory& root, bool followLinks, Summary& summary);
    LocalWalk(const LocalWalk&) = delete;
    LocalWalk& operator=(const LocalWalk&) = delete;
    ~LocalWalk();

    std::optional<TreeEntry> next();
    // What could not be read so far: see LocalTree. Whatever the walk has gone past and it may
    // hold is there already.
    const LocalTree& unread() const { return unread_; }

  private:
    struct Level;
    void unread(const std::string& relative, const std::string& why);
    void enter(int fd, const std::string& relative);
    std::optional<TreeEntry> visit(Level& level, const std::string& name);

    const LocalDirectory& root_;
    bool follow_;
    Summary& summary_;
    std::vector<Level> levels_;
    LocalTree unread_;  // only its unread parts
};

// Sets the modification time of a pinned file; false when it could not.
bool setModified(const Pinned& file, std::int64_t modifiedMs);

}  // namespace quilo::cli

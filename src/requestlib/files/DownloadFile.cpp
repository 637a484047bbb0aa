#include "requestlib/files/DownloadFile.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>

#include "requestlib/base/Errors.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/files/SourceFile.hpp"

namespace quilo::detail {
namespace {

// ".<name>.<32 random hex digits>.download": nobody can plant a link under a name nobody can
// guess, and O_EXCL refuses one that is there anyway. A long name is cut, so that the whole
// still fits in the file system's limit on a name.
std::string temporaryName(const std::string& name) {
    unsigned char random[16];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return {};
    const std::string suffix =
        hexEncode(std::string_view(reinterpret_cast<const char*>(random), sizeof random))
            .append(".download");
    std::string temporary(1, '.');
    temporary.append(name, 0, NAME_MAX - 2 - suffix.size()).append(1, '.').append(suffix);
    return temporary;
}

constexpr std::string_view kTemporarySuffix = ".download", kKeptSuffix = ".partial";

// Whether `name` could be one of temporaryName's: the shape alone, the rest is checked on the file.
bool looksTemporary(std::string_view name) {
    constexpr std::string_view suffix = kTemporarySuffix;
    constexpr std::size_t digits = 32;
    if (name.size() < 2 + digits + 1 + suffix.size() || name.front() != '.' ||
        !name.ends_with(suffix))
        return false;
    const auto random = name.substr(name.size() - suffix.size() - digits, digits);
    return name[name.size() - suffix.size() - digits - 1] == '.' &&
           random.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool looksKept(std::string_view name) {
    return name.size() > 1 + kKeptSuffix.size() && name.front() == '.' &&
           name.ends_with(kKeptSuffix) && name.find('/') == std::string_view::npos;
}

// A temporary file is locked for as long as its download lives, so one that can be locked is
// left by a process that is gone. Only a regular file of this user's, of the shape this library
// names them, is ever removed, and only while its name still leads to the file locked.
void removeIfAbandoned(int dirFd, const char* name) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened {
    }, named{};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino)
        ::unlinkat(dirFd, name, 0);
    ::close(fd);
}

// Once per directory and process: the first download into a directory clears what killed
// downloads left there.
void sweepOnce(int dirFd) {
    static std::mutex mutex;
    static std::set<std::pair<dev_t, ino_t>> swept;
    struct stat info {};
    if (::fstat(dirFd, &info) != 0)
        return;
    {
        std::lock_guard lock(mutex);
        if (!swept.emplace(info.st_dev, info.st_ino).second)
            return;
    }
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* directory = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (directory == nullptr) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const dirent* entry = ::readdir(directory))
        if (looksTemporary(entry->d_name))
            removeIfAbandoned(dirFd, entry->d_name);
    ::closedir(directory);
}

// "a/b" as "a" and "b", "b" as "." and "b", "/b" as "/" and "b".
std::pair<std::string, std::string> split(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The file a destination leads to, its links resolved; empty when it cannot be resolved.
std::string resolved(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> target(::realpath(path.c_str(), nullptr),
                                                             &std::free);
    return target ? std::string(target.get()) : std::string();
}

// Whether `path` is a link or a special file that another user left in a directory all may
// write to (sticky, as /tmp is): the kernel follows such a link, and opens such a FIFO, only for
// the owner of one or the other, and a download takes the same care.
bool plantedByAnother(const std::string& path) {
    struct stat named {
    }, directory{};
    const mode_t shared = S_ISVTX | S_IWOTH;
    return ::lstat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode) &&
           ::stat(split(path).first.c_str(), &directory) == 0 &&
           (directory.st_mode & shared) == shared && named.st_uid != ::geteuid() &&
           named.st_uid != directory.st_uid;
}

}  // namespace

std::variant<std::unique_ptr<DownloadFile>, Error> DownloadFile::create(
    const std::string& destination, bool followLinks) {
    if (destination.empty())
        return misuse(Code::MissingFilePath, "the download destination is an empty path");
    struct stat info {};
    const bool exists = (followLinks ? ::stat : ::lstat)(destination.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return makeError(ErrorKind::localFile, Code::IsADirectory,
                         "the download destination " + destination + " is a directory");
    if (exists && (followLinks || !S_ISLNK(info.st_mode)) && plantedByAnother(destination))
        return makeError(ErrorKind::localFile, Code::CannotWriteFile,
                         destination + " is another user's, in a directory all may write to");
    if (exists && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
        return stream(destination);
    const std::string target = exists && followLinks ? resolved(destination) : destination;
    const auto [directory, name] = split(target);
    const int dirFd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0)
        sweepOnce(dirFd);
    for (int tries = 0; dirFd >= 0 && !name.empty() && tries < 8; ++tries) {
        std::string temporary = temporaryName(name);
        if (temporary.empty())
            break;
        // 0666 under the umask: the file ends up as any other the process would create.
        const int fd = ::openat(dirFd, temporary.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        // The lock tells a sweep that the file lives. Should one come between the two and take
        // the file, the commit finds it gone and the download fails, the destination unchanged.
        if (fd >= 0)
            ::flock(fd, LOCK_EX | LOCK_NB);
        if (fd >= 0)
            return std::unique_ptr<DownloadFile>(
                new DownloadFile(destination, dirFd, name, std::move(temporary), fd));
        if (errno != EEXIST)
            break;
    }
    Error error = fileError(Code::CannotWriteFile, "cannot write beside", destination);
    if (dirFd >= 0)
        ::close(dirFd);
    return error;
}

std::variant<std::unique_ptr<DownloadFile>, Error> DownloadFile::stream(
    const std::string& destination) {
    // Without O_NONBLOCK, opening a FIFO that nothing reads would wait for a reader forever.
    const int fd = ::open(destination.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO)
        return makeError(ErrorKind::localFile, Code::CannotWriteFile,
                         "nothing reads from " + destination);
    if (fd < 0)
        return fileError(Code::CannotWriteFile, "cannot write to", destination);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISREG(info.st_mode)) {
        ::close(fd);
        return makeError(ErrorKind::localFile, Code::FileChanged,
                         destination + " was replaced as the download began");
    }
    // From here on written as any program writes to it: a reader that falls behind holds it up.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::unique_ptr<DownloadFile> file(new DownloadFile(destination, -1, {}, {}, fd));
    file->writer_ = std::make_unique<StreamWriter>(fd, destination);
    return file;
}

DownloadFile::DownloadFile(std::string destination, int dirFd, std::string name,
                           std::string temporary, int fd)
    : destination_(std::move(destination)),
      dirFd_(dirFd),
      name_(std::move(name)),
      temporary_(std::move(temporary)),
      fd_(fd) {}

DownloadFile::~DownloadFile() {
    digest_.reset();  // its worker reads the file
    writer_.reset();  // and this one writes it
    discard();
    if (dirFd_ >= 0)
        ::close(dirFd_);
}

std::optional<Error> DownloadFile::write(std::uint64_t offset, Block& block, std::size_t size) {
    if (streams() && offset != streamed_)
        return makeError(ErrorKind::localFile, Code::CannotWriteFile,
                         destination_ + " takes its bytes in order only");
    if (streams()) {
        if (auto error = writer_->hand(block, size))
            return error;
        streamed_ += size;
    }
    for (std::size_t done = 0; !streams() && done < size;) {
        const ssize_t n =
            ::pwrite(fd_, block.get() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fileError(Code::CannotWriteFile, "cannot write", destination_);
        done += static_cast<std::size_t>(n);
    }
    noteWritten(offset, offset + size);
    return std::nullopt;
}

// Merges the stretch into those written; the digest follows the one that starts the file.
void DownloadFile::noteWritten(std::uint64_t begin, std::uint64_t end) {
    auto next = written_.upper_bound(begin);
    if (next != written_.begin() && std::prev(next)->second >= begin) {
        --next;
        begin = next->first;
        end = std::max(end, next->second);
        next = written_.erase(next);
    }
    for (; next != written_.end() && next->first <= end; next = written_.erase(next))
        end = std::max(end, next->second);
    written_.emplace(begin, end);
    if (digest_ && begin == 0)
        digest_->advance(end);
}

std::optional<Error> DownloadFile::checkRoom(std::uint64_t size) const {
    struct statvfs space {};
    if (streams() || ::fstatvfs(fd_, &space) != 0 ||
        size / space.f_frsize <= static_cast<std::uint64_t>(space.f_bavail))
        return std::nullopt;
    return makeError(ErrorKind::localFile, Code::CannotWriteFile,
                     "no room for the " + std::to_string(size) + " bytes of " + destination_);
}

std::optional<Error> DownloadFile::reserve(std::uint64_t size) {
    if (auto error = checkRoom(size); error || streams())
        return error;
    int failed = ::fallocate(fd_, 0, 0, static_cast<off_t>(size)) == 0 ? 0 : errno;
    // A file system that cannot allocate ahead still takes writes anywhere.
    if (failed == EOPNOTSUPP)
        failed = ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : errno;
    if (failed == 0)
        return std::nullopt;
    errno = failed;
    return fileError(Code::CannotWriteFile, "cannot make room for", destination_);
}

std::optional<Error> DownloadFile::truncate() {
    if (streams() && streamed_ > 0)
        return makeError(ErrorKind::response, Code::UnexpectedResponse,
                         "the answer started again from the first byte, which " + destination_ +
                             " took already");
    if (!streams() && ::ftruncate(fd_, 0) != 0)
        return fileError(Code::CannotWriteFile, "cannot write", destination_);
    written_.clear();
    if (digesting())
        digest();
    return std::nullopt;
}

void DownloadFile::digest() {
    if (writer_)
        return writer_->digest();
    digest_.reset();
    digest_ = std::make_unique<TrailingDigest>(fd_);
    if (const auto start = written_.find(0); start != written_.end())
        digest_->advance(start->second);
}

std::optional<std::string> DownloadFile::md5(std::uint64_t size) {
    if (writer_)
        return writer_->md5();
    if (!digest_)
        return std::string();
    digest_->finish(size);
    return digest_->result();
}

bool DownloadFile::stillOurs() const {
    struct stat mine {
    }, named{};
    return ::fstat(fd_, &mine) == 0 &&
           ::fstatat(dirFd_, temporary_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

std::optional<Error> DownloadFile::commit() {
    if (streams()) {
        auto error = writer_->drain();
        writer_.reset();
        ::close(std::exchange(fd_, -1));
        return error;
    }
    if (!stillOurs())
        return makeError(
            ErrorKind::localFile, Code::FileChanged,
            "the temporary file of the download into " + destination_ + " was removed or replaced");
    if (::renameat(dirFd_, temporary_.c_str(), dirFd_, name_.c_str()) != 0)
        return fileError(Code::CannotWriteFile, "cannot move the download into", destination_);
    ::close(std::exchange(fd_, -1));
    return std::nullopt;
}

std::pair<std::uint64_t, std::uint64_t> DownloadFile::directory() const {
    struct stat info {};
    if (dirFd_ < 0 || ::fstat(dirFd_, &info) != 0)
        return {0, 0};
    return {info.st_dev, info.st_ino};
}

std::string DownloadFile::keptName() const {
    if (streams() || !temporary_.ends_with(kTemporarySuffix))
        return {};
    return temporary_.substr(0, temporary_.size() - kTemporarySuffix.size()).append(kKeptSuffix);
}

bool DownloadFile::keepForResume() {
    std::string kept = keptName();
    if (kept.empty() || !stillOurs() ||
        ::renameat(dirFd_, temporary_.c_str(), dirFd_, kept.c_str()) != 0)
        return false;
    temporary_ = std::move(kept);
    return true;
}

bool DownloadFile::adopt(const std::string& temporary, std::uint64_t size) {
    if (streams() || !looksKept(temporary))
        return false;
    const int fd =
        ::openat(dirFd_, temporary.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        static_cast<std::uint64_t>(info.st_size) > size || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    // The digest behind the writes reads the file: it starts again on this one.
    const bool digesting = digest_ != nullptr;
    digest_.reset();
    discard();
    fd_ = fd;
    temporary_ = temporary;
    written_.clear();
    if (digesting)
        digest();
    return true;
}

void DownloadFile::removeLeft(const std::string& temporary) const {
    if (!streams() && looksKept(temporary) && temporary != temporary_)
        removeIfAbandoned(dirFd_, temporary.c_str());
}

std::shared_ptr<const SourceFile> DownloadFile::reader() const {
    return SourceFile::reading(fd_, destination_);
}

// Removes the name only while it is still this file: never someone else's file put there since.
void DownloadFile::discard() {
    if (fd_ < 0)
        return;
    if (!streams() && stillOurs())
        ::unlinkat(dirFd_, temporary_.c_str(), 0);
    ::close(std::exchange(fd_, -1));
}

}  // namespace quilo::detail

#include "requestlib/files/DownloadFile.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <utility>

#include "requestlib/base/Errors.hpp"
#include "requestlib/encoding/Crypto.hpp"

namespace quilo::detail {
namespace {

// ".<name>.<32 random hex digits>.download" in the destination's directory: nobody can plant a
// link under a name nobody can guess, and O_EXCL refuses one that is there anyway.
std::string temporaryName(const std::string& destination) {
    unsigned char random[16];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return {};
    const auto slash = destination.rfind('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    return destination.substr(0, name) + "." + destination.substr(name) + "." +
           hexEncode(std::string_view(reinterpret_cast<const char*>(random), sizeof random)) +
           ".download";
}

}  // namespace

std::variant<std::unique_ptr<DownloadFile>, Error> DownloadFile::create(std::string destination) {
    struct stat info {};
    if (::stat(destination.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return makeError(ErrorKind::localFile, Code::IsADirectory,
                         "the download destination " + destination + " is a directory");
    for (int tries = 0; tries < 8; ++tries) {
        const std::string path = temporaryName(destination);
        if (path.empty())
            break;
        // 0666 under the umask: the file ends up as any other the process would create.
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            return std::unique_ptr<DownloadFile>(new DownloadFile(destination, path, fd));
        if (errno != EEXIST)
            return fileError(Code::CannotWriteFile, "cannot write beside", destination);
    }
    return fileError(Code::CannotWriteFile, "cannot write beside", destination);
}

DownloadFile::DownloadFile(std::string destination, std::string path, int fd)
    : destination_(std::move(destination)), path_(std::move(path)), fd_(fd) {}

DownloadFile::~DownloadFile() {
    digest_.reset();  // its worker reads the file
    discard();
}

std::optional<Error> DownloadFile::write(std::uint64_t offset, const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n =
            ::pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
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

std::optional<Error> DownloadFile::reserve(std::uint64_t size) {
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
    if (::ftruncate(fd_, 0) != 0)
        return fileError(Code::CannotWriteFile, "cannot write", destination_);
    written_.clear();
    if (digest_)
        digest();
    return std::nullopt;
}

void DownloadFile::digest() {
    digest_.reset();
    digest_ = std::make_unique<TrailingDigest>(fd_);
    if (const auto start = written_.find(0); start != written_.end())
        digest_->advance(start->second);
}

std::optional<std::string> DownloadFile::md5(std::uint64_t size) {
    if (!digest_)
        return std::string();
    digest_->finish(size);
    return digest_->result();
}

bool DownloadFile::stillOurs() const {
    struct stat mine {
    }, named{};
    return ::fstat(fd_, &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

std::optional<Error> DownloadFile::commit() {
    if (!stillOurs())
        return makeError(
            ErrorKind::localFile, Code::FileChanged,
            "the temporary file of the download into " + destination_ + " was removed or replaced");
    if (::rename(path_.c_str(), destination_.c_str()) != 0)
        return fileError(Code::CannotWriteFile, "cannot move the download into", destination_);
    ::close(std::exchange(fd_, -1));
    return std::nullopt;
}

// Removes the name only while it is still this file: never someone else's file put there since.
void DownloadFile::discard() {
    if (fd_ < 0)
        return;
    if (stillOurs())
        ::unlink(path_.c_str());
    ::close(std::exchange(fd_, -1));
}

}  // namespace quilo::detail

#include "requestlib/files/SourceFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "requestlib/base/Errors.hpp"

namespace quilo::detail {

std::variant<std::shared_ptr<const SourceFile>, Error> SourceFile::open(const std::string& path,
                                                                        bool followLinks) {
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, holding up every request.
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return fileError(Code::CannotReadFile, "cannot open", path);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        Error error = S_ISREG(info.st_mode) ? fileError(Code::CannotReadFile, "cannot read", path)
                                            : makeError(ErrorKind::localFile, Code::CannotReadFile,
                                                        path + " is not a regular file");
        ::close(fd);
        return error;
    }
    return std::shared_ptr<const SourceFile>(new SourceFile(path, fd, info));
}

std::shared_ptr<const SourceFile> SourceFile::reading(int fd, const std::string& path) {
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    struct stat info {};
    if (own < 0 || ::fstat(own, &info) != 0) {
        if (own >= 0)
            ::close(own);
        return nullptr;
    }
    return std::shared_ptr<const SourceFile>(new SourceFile(path, own, info));
}

SourceFile::SourceFile(std::string path, int fd, const struct stat& info)
    : path_(std::move(path)),
      fd_(fd),
      size_(static_cast<std::uint64_t>(info.st_size)),
      modified_(info.st_mtim),
      identity_{.device = info.st_dev,
                .inode = info.st_ino,
                .size = size_,
                .modifiedSeconds = info.st_mtim.tv_sec,
                .modifiedNanoseconds = info.st_mtim.tv_nsec} {}

SourceFile::~SourceFile() {
    ::close(fd_);
}

std::optional<std::size_t> SourceFile::read(std::uint64_t offset, char* buffer,
                                            std::size_t capacity) const {
    std::size_t got = 0;
    while (got < capacity) {
        const ssize_t n =
            ::pread(fd_, buffer + got, capacity - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::optional<Error> SourceFile::changed() const {
    struct stat now {
    }, named{};
    if (::fstat(fd_, &now) != 0)
        return fileError(Code::CannotReadFile, "cannot read", path_);
    const bool written = static_cast<std::uint64_t>(now.st_size) != size_ ||
                         now.st_mtim.tv_sec != modified_.tv_sec ||
                         now.st_mtim.tv_nsec != modified_.tv_nsec;
    if (written)
        return makeError(ErrorKind::localFile, Code::FileChanged,
                         path_ + " changed while it was being uploaded");
    if (::stat(path_.c_str(), &named) != 0 || named.st_dev != now.st_dev ||
        named.st_ino != now.st_ino)
        return makeError(ErrorKind::localFile, Code::FileChanged,
                         path_ + " was replaced while it was being uploaded");
    return std::nullopt;
}

}  // namespace quilo::detail

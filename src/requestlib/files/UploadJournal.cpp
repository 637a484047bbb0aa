#include "requestlib/files/UploadJournal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "requestlib/encoding/UriEncoding.hpp"

namespace quilo::detail {
namespace {

constexpr const char* kMagic = "quilo-upload-journal 1";
// A journal is a few hundred bytes; anything much larger is not one.
constexpr off_t kMaxBytes = 64 * 1024;

std::optional<std::string> readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        info.st_size <= kMaxBytes) {
        text.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
        text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

}  // namespace

std::optional<UploadJournal> UploadJournal::read(const std::string& path) {
    const auto text = readSmallFile(path);
    if (!text)
        return std::nullopt;
    std::istringstream in(*text);
    std::string magic, bucket, key, uploadId;
    UploadJournal journal;
    FileIdentity& source = journal.source;
    if (!std::getline(in, magic) || magic != kMagic ||
        !(in >> bucket >> key >> uploadId >> source.device >> source.inode >> source.size >>
          source.modifiedSeconds >> source.modifiedNanoseconds >> journal.partSize) ||
        journal.partSize == 0)
        return std::nullopt;
    journal.bucket = percentDecode(bucket);
    journal.key = percentDecode(key);
    journal.uploadId = percentDecode(uploadId);
    return journal;
}

// Written beside itself and renamed over, so that a process killed while writing leaves the old
// journal or the new one. Upload ids are the service's tokens: encoded too, so no word splits.
bool UploadJournal::write(const std::string& path) const {
    std::ostringstream out;
    out << kMagic << '\n'
        << uriEncode(bucket) << '\n'
        << uriEncode(key) << '\n'
        << uriEncode(uploadId) << '\n'
        << source.device << ' ' << source.inode << ' ' << source.size << ' '
        << source.modifiedSeconds << ' ' << source.modifiedNanoseconds << '\n'
        << partSize << '\n';
    const std::string text = out.str();
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".new";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    ::close(fd);
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

void UploadJournal::remove(const std::string& path) {
    ::unlink(path.c_str());
}

}  // namespace quilo::detail

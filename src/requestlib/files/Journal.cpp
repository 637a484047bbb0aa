#include "requestlib/files/Journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "requestlib/encoding/UriEncoding.hpp"

namespace quilo::detail {
namespace {

constexpr const char* kUploadMagic = "quilo-upload-journal 1";
constexpr const char* kDownloadMagic = "quilo-download-journal 1";
// A journal is a few kilobytes at most; anything much larger is not one.
constexpr off_t kMaxBytes = 1 << 20;

// The journal's words after its first line, when that line is `magic`. Names and tokens are
// written percent-encoded, so that none holds a space or a line break.
std::optional<std::istringstream> openJournal(const std::string& path, const char* magic) {
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
    std::istringstream in(text);
    std::string first;
    if (!std::getline(in, first) || first != magic)
        return std::nullopt;
    return in;
}

bool readEncoded(std::istream& in, std::string& value) {
    std::string word;
    if (!(in >> word))
        return false;
    value = percentDecode(word);
    return true;
}

// Written beside itself and renamed over, so that a process killed while writing leaves the old
// journal or the new one; the next write or removal takes what such a kill left beside it.
std::string besideName(const std::string& path) {
    return path + ".new";
}

bool writeJournal(const std::string& path, const std::string& text, bool durable = true) {
    const std::string temporary = besideName(path);
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        (!durable || ::fsync(fd) == 0);
    ::close(fd);
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace

std::optional<UploadJournal> UploadJournal::read(const std::string& path) {
    auto in = openJournal(path, kUploadMagic);
    UploadJournal journal;
    FileIdentity& source = journal.source;
    if (!in || !readEncoded(*in, journal.bucket) || !readEncoded(*in, journal.key) ||
        !readEncoded(*in, journal.uploadId) ||
        !(*in >> source.device >> source.inode >> source.size >> source.modifiedSeconds >>
          source.modifiedNanoseconds >> journal.partSize) ||
        journal.partSize == 0)
        return std::nullopt;
    readEncoded(*in, journal.options);
    return journal;
}

bool UploadJournal::write(const std::string& path) const {
    std::ostringstream out;
    out << kUploadMagic << '\n'
        << uriEncode(bucket) << '\n'
        << uriEncode(key) << '\n'
        << uriEncode(uploadId) << '\n'
        << source.device << ' ' << source.inode << ' ' << source.size << ' '
        << source.modifiedSeconds << ' ' << source.modifiedNanoseconds << '\n'
        << partSize << '\n'
        << uriEncode(options) << '\n';
    return writeJournal(path, out.str());
}

std::optional<DownloadJournal> DownloadJournal::read(const std::string& path) {
    auto in = openJournal(path, kDownloadMagic);
    DownloadJournal journal;
    if (!in || !(*in >> journal.directoryDevice >> journal.directoryInode) ||
        !readEncoded(*in, journal.name) || !readEncoded(*in, journal.temporary) ||
        !readEncoded(*in, journal.etag) || !(*in >> journal.size))
        return std::nullopt;
    for (Range range; *in >> range.offset >> range.length >> range.digest;)
        journal.ranges.push_back(range);
    return journal;
}

bool DownloadJournal::write(const std::string& path, bool durable) const {
    std::ostringstream out;
    out << kDownloadMagic << '\n'
        << directoryDevice << ' ' << directoryInode << '\n'
        << uriEncode(name) << '\n'
        << uriEncode(temporary) << '\n'
        << uriEncode(etag) << '\n'
        << size << '\n';
    for (const auto& range : ranges)
        out << range.offset << ' ' << range.length << ' ' << range.digest << '\n';
    return writeJournal(path, out.str(), durable);
}

void removeJournal(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink(besideName(path).c_str());
}

}  // namespace quilo::detail

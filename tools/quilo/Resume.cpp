#include "Resume.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include <quilo/quilo.hpp>

namespace quilo::cli {

namespace {

// One name per destination, whatever its key holds: the key could be longer than a file name
// may be, and hold any byte.
std::string nameFor(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string name;
    for (unsigned int i = 0; i < size; ++i) {
        name += hex[digest[i] >> 4];
        name += hex[digest[i] & 15];
    }
    return name + ".journal";
}

// Each missing level is made for the user alone. Journals go only into a directory of the user's
// that no one else may write to: another user could otherwise swap them.
bool makeDirectory(const std::string& path, bool ownOnly) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return (ownOnly ? ::lstat : ::stat)(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           (!ownOnly || (info.st_uid == ::geteuid() && (info.st_mode & 022) == 0));
}

std::optional<std::string> cacheDirectory(bool make = true) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.cache";
    } else {
        return std::nullopt;
    }
    if (!make) {
        struct stat info {};
        if (::lstat((base + "/quilo").c_str(), &info) != 0) {
            return std::nullopt;
        }
    }
    if (!makeDirectory(base, false) || !makeDirectory(base + "/quilo", true)) {
        return std::nullopt;
    }
    return base + "/quilo";
}

std::optional<std::string> journalFor(const std::string& transfer) {
    if (!resumes()) {
        return std::nullopt;
    }
    const auto directory = cacheDirectory();
    const std::string name = nameFor(S3Request::defaultHost() + '\n' + transfer);
    if (!directory || name.empty()) {
        return std::nullopt;
    }
    return *directory + "/" + name;
}

// "<64 hex digits>.journal", or the same with ".new" after it.
bool isJournalName(std::string_view name) {
    constexpr std::size_t digits = 64;
    const auto rest = name.substr(std::min(name.size(), digits));
    return name.size() > digits && name.find_first_not_of("0123456789abcdef") == digits &&
           (rest == ".journal" || rest == ".journal.new");
}

}  // namespace

void sweepJournals(std::chrono::seconds age) {
    const auto directory = cacheDirectory(false);
    const int fd = directory
                       ? ::open(directory->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                       : -1;
    DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (listing == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    const auto before =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - age);
    while (const dirent* entry = ::readdir(listing)) {
        struct stat info {};
        if (isJournalName(entry->d_name) &&
            ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_mtime < before) {
            ::unlinkat(fd, entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

bool& resumes() {
    static bool on = true;
    return on;
}

std::optional<std::string> uploadJournal(const S3Url& remote) {
    return journalFor("upload\n" + remote.bucket + '\n' + remote.key);
}

// A download is carried on into the same file only: the path as the user named it, from here.
std::optional<std::string> downloadJournal(const S3Url& remote, const std::string& local) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(local, error);
    if (error) {
        return std::nullopt;
    }
    return journalFor("download\n" + remote.bucket + '\n' + remote.key + '\n' +
                      absolute.lexically_normal().string());
}

}  // namespace quilo::cli

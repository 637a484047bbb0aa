#include "Checksums.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <iostream>
#include <memory>

#include "LocalDirectory.hpp"
#include "Output.hpp"

namespace quilo::cli {

namespace {

using Digest = std::array<unsigned char, 16>;
using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Context md5() {
    Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
    return context;
}

std::string hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

// The ETag a file would get if uploaded in parts of `partSize` bytes (0: in one piece), built
// as the bytes come.
class EtagOf {
  public:
    explicit EtagOf(std::uint64_t partSize) : partSize_(partSize) {}

    void add(const unsigned char* bytes, std::size_t size) {
        while (size > 0) {
            std::size_t take = size;
            if (partSize_ > 0) {
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, partSize_ - inPart_));
            }
            EVP_DigestUpdate(part_.get(), bytes, take);
            inPart_ += take, bytes += take, size -= take;
            if (partSize_ > 0 && inPart_ == partSize_) {
                endPart();
            }
        }
    }
    std::string finish() {
        if (partSize_ == 0) {
            return hex(endPart().data(), 16);
        }
        if (inPart_ > 0) {
            endPart();
        }
        Digest all{};
        const auto whole = md5();
        EVP_DigestUpdate(whole.get(), parts_.data(), parts_.size());
        EVP_DigestFinal_ex(whole.get(), all.data(), nullptr);
        return hex(all.data(), all.size()) + "-" + std::to_string(parts_.size() / 16);
    }

  private:
    Digest endPart() {
        Digest digest{};
        EVP_DigestFinal_ex(part_.get(), digest.data(), nullptr);
        parts_.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        part_ = md5();
        inPart_ = 0;
        return digest;
    }

    std::uint64_t partSize_;
    std::uint64_t inPart_ = 0;
    Context part_ = md5();
    std::string parts_;
};

// The part sizes that would cut `size` bytes into `parts`: this tool's, and those other clients
// choose by default (awscli 8 MiB, others 5, 10, 15, 16, 32, 64 or 100 MiB and more).
std::vector<std::uint64_t> partSizesFor(std::uint64_t size, std::uint64_t parts) {
    std::vector<std::uint64_t> fitting;
    constexpr std::uint64_t MiB = 1 << 20;
    for (const std::uint64_t candidate :
         {S3ObjectRequest::multipartPartSize(), 5 * MiB, 8 * MiB, 10 * MiB, 15 * MiB, 16 * MiB,
          32 * MiB, 50 * MiB, 64 * MiB, 100 * MiB, 128 * MiB, 256 * MiB, 512 * MiB}) {
        const bool fits = parts > 0 && (size + candidate - 1) / candidate == parts;
        if (fits && std::find(fitting.begin(), fitting.end(), candidate) == fitting.end()) {
            fitting.push_back(candidate);
        }
    }
    return fitting;
}

// Whether the file is what `etag` names; none when that cannot be told.
std::optional<bool> matches(const LocalDirectory& root, const std::string& path, std::uint64_t size,
                            const std::string& etag) {
    const auto dash = etag.find('-');
    std::vector<std::uint64_t> partSizes = {0};
    if (dash != std::string::npos) {
        const std::string count = etag.substr(dash + 1);
        if (count.empty() || count.size() > 5 ||
            count.find_first_not_of("0123456789") != count.npos) {
            return std::nullopt;
        }
        partSizes = partSizesFor(size, std::stoull(count));
    }
    if (partSizes.empty() || (dash == std::string::npos && etag.size() != 32)) {
        return std::nullopt;
    }
    auto pinned = root.pin(path, false);
    const auto* file = std::get_if<Pinned>(&pinned);
    const int fd = file ? ::open(file->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1;
    if (fd < 0) {
        return std::nullopt;
    }
    const Descriptor held(fd);
    std::vector<EtagOf> etags(partSizes.begin(), partSizes.end());
    std::vector<unsigned char> block(1 << 20);
    for (ssize_t got = 0; (got = ::read(fd, block.data(), block.size())) != 0;) {
        if (got < 0 && errno != EINTR) {
            return std::nullopt;
        }
        for (auto& one : etags) {
            one.add(block.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
    }
    for (auto& one : etags) {
        if (one.finish() == etag) {
            return true;
        }
    }
    return false;
}

}  // namespace

void compareContent(const LocalDirectory& root, const std::string& path, TreeFile& local,
                    const TreeFile& remote) {
    if (remote.size != local.size) {
        return;  // copied whatever the bytes
    }
    local.sameContent = matches(root, path, local.size, remote.etag);
    if (!local.sameContent && !outputMode().quiet) {
        std::cout.flush();
        std::cerr << "quilo: compared by size and time only, its ETag telling nothing of its "
                     "bytes: "
                  << escaped(root.shown(path)) << std::endl;
    }
}

}  // namespace quilo::cli

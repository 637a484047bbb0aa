#include "requestlib/encoding/Crypto.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <climits>

namespace quilo::detail {

namespace {

const EVP_MD* digestFor(StreamingDigest::Algorithm algorithm) {
    switch (algorithm) {
        case StreamingDigest::Algorithm::md5:
            return EVP_md5();
        case StreamingDigest::Algorithm::sha1:
            return EVP_sha1();
        case StreamingDigest::Algorithm::sha256:
            break;
    }
    return EVP_sha256();
}

}  // namespace

std::string hexEncode(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    try {
        std::string out;
        out.reserve(bytes.size() * 2);
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0x0f];
        }
        return out;
    } catch (...) {
        return {};
    }
}

std::string hexDecode(std::string_view hex) {
    const auto value = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = value(hex[i]), low = value(hex[i + 1]);
        if (high < 0 || low < 0)
            return {};
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return hex.size() % 2 == 0 ? out : std::string();
}

std::string sha256Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return hexEncode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string base64Encode(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX) / 4 * 3)
        return {};
    try {
        std::string encoded(4 * ((bytes.size() + 2) / 3), '\0');
        const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                            reinterpret_cast<const unsigned char*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
        encoded.resize(static_cast<std::size_t>(std::max(written, 0)));
        return encoded;
    } catch (...) {
        return {};
    }
}

std::optional<std::string> base64Decode(std::string_view text) {
    const auto valid = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    };
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    if (text.empty() || text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT_MAX) ||
        !std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), valid))
        return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    if (written < 0)
        return std::nullopt;
    bytes.resize(static_cast<std::size_t>(written) - padding);
    return bytes;
}

std::string md5Base64(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr) != 1)
        return {};
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string hmacSha256(std::string_view key, std::string_view data) {
    if (key.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // To OpenSSL a null key pointer means "no key", not an empty one.
    static constexpr unsigned char kNoKey[1] = {0};
    const void* keyBytes = key.empty() ? kNoKey : static_cast<const void*>(key.data());
    if (HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
             &length) == nullptr)
        return {};
    try {
        return std::string(reinterpret_cast<const char*>(mac), length);
    } catch (...) {
        return {};
    }
}

// A null context (allocation or initialisation failed, or moved from) makes every call a no-op
// and every digest empty, which no checksum will ever match.
struct StreamingDigest::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

StreamingDigest::StreamingDigest(Algorithm algorithm) : algorithm_(algorithm) {
    try {
        state_ = std::make_unique<State>();
    } catch (...) {
        return;
    }
    reset();
}

StreamingDigest::~StreamingDigest() = default;
StreamingDigest::StreamingDigest(StreamingDigest&&) noexcept = default;
StreamingDigest& StreamingDigest::operator=(StreamingDigest&&) noexcept = default;

void StreamingDigest::update(const void* data, std::size_t size) {
    if (!state_ || !state_->context || size == 0)
        return;
    if (EVP_DigestUpdate(state_->context, data, size) != 1) {
        EVP_MD_CTX_free(state_->context);
        state_->context = nullptr;
    }
}

std::string StreamingDigest::hexDigest() const {
    if (!state_ || !state_->context)
        return {};
    // Finalise a copy so that the running digest can take more bytes afterwards.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    if (!copy)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    bool done = EVP_MD_CTX_copy_ex(copy, state_->context) == 1 &&
                EVP_DigestFinal_ex(copy, digest, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!done)
        return {};
    return hexEncode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

void StreamingDigest::reset() {
    if (!state_)
        return;
    if (!state_->context)
        state_->context = EVP_MD_CTX_new();
    if (state_->context &&
        EVP_DigestInit_ex(state_->context, digestFor(algorithm_), nullptr) != 1) {
        EVP_MD_CTX_free(state_->context);
        state_->context = nullptr;
    }
}

}  // namespace quilo::detail

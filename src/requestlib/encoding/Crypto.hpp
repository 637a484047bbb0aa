#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quilo::detail {

// Nothing here throws: a failure of the crypto library gives an empty string, which no
// checksum or signature will match.
std::string hexEncode(std::string_view bytes);
std::string hexDecode(std::string_view hex);  // empty unless it is all hex digit pairs
std::string sha256Hex(std::string_view data);
std::string base64Encode(std::string_view bytes);
// The bytes of padded base64 text; nullopt for anything else.
std::optional<std::string> base64Decode(std::string_view text);
// Base64 of the MD5 of `data`, as a Content-MD5 header carries it.
std::string md5Base64(std::string_view data);
// Raw 32-byte HMAC-SHA256 of `data` under `key`.
std::string hmacSha256(std::string_view key, std::string_view data);

// A digest computed while bytes stream past, so that nothing is read twice.
class StreamingDigest {
  public:
    // SHA-1 only where no one else checks the digest, as fast as hashing goes: without hardware
    // for either, it is half again as fast as MD5 and twice SHA-256.
    enum class Algorithm { md5, sha1, sha256 };
    explicit StreamingDigest(Algorithm algorithm);
    ~StreamingDigest();
    StreamingDigest(StreamingDigest&&) noexcept;
    StreamingDigest& operator=(StreamingDigest&&) noexcept;

    void update(const void* data, std::size_t size);
    // Lower-case hex of the digest of everything given so far; the digest can go on after.
    std::string hexDigest() const;
    void reset();

  private:
    struct State;
    std::unique_ptr<State> state_;
    Algorithm algorithm_;
};

}  // namespace quilo::detail

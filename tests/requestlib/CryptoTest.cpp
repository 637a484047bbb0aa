#include "requestlib/Crypto.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace quilo::detail {
namespace {

using Algorithm = StreamingDigest::Algorithm;

const std::string kMd5Empty = "d41d8cd98f00b204e9800998ecf8427e";
const std::string kMd5Abc = "900150983cd24fb0d6963f7d28e17f72";
const std::string kSha256Empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kSha256Abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string digestOf(Algorithm algorithm, const std::string& data) {
    StreamingDigest digest(algorithm);
    digest.update(data.data(), data.size());
    return digest.hexDigest();
}

TEST(Crypto, KnownDigests) {
    EXPECT_EQ(sha256Hex(""), kSha256Empty);
    EXPECT_EQ(sha256Hex("abc"), kSha256Abc);
    EXPECT_EQ(digestOf(Algorithm::sha256, "abc"), kSha256Abc);
    EXPECT_EQ(digestOf(Algorithm::md5, ""), kMd5Empty);
    EXPECT_EQ(digestOf(Algorithm::md5, "abc"), kMd5Abc);
}

TEST(Crypto, HmacSha256Rfc4231Case2) {
    std::string mac = hmacSha256("Jefe", "what do ya want for nothing?");
    EXPECT_EQ(mac.size(), 32u);
    EXPECT_EQ(hexEncode(mac), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(Crypto, HexAndBase64OfHighBytes) {
    EXPECT_EQ(hexEncode(std::string("\x00\x7F\x80\xFF", 4)), "007f80ff");
    // RFC 4648's vectors, then bytes that a signed char would corrupt.
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode("\xFF\xFE\xFD\xFC"), "//79/A==");
}

TEST(StreamingDigest, PiecesEqualOneShotAndDigestCanGoOn) {
    std::string data;
    for (int i = 0; i < 100000; ++i)
        data += static_cast<char>((i * 7919) % 251);
    for (Algorithm algorithm : {Algorithm::md5, Algorithm::sha256}) {
        SCOPED_TRACE(algorithm == Algorithm::md5 ? "md5" : "sha256");
        StreamingDigest digest(algorithm);
        std::size_t half = data.size() / 2;
        for (std::size_t at = 0, piece = 1; at < half; at += piece, piece = piece * 3 % 4099 + 1)
            digest.update(data.data() + at, std::min(piece, half - at));
        digest.update(nullptr, 0);
        EXPECT_EQ(digest.hexDigest(), digestOf(algorithm, data.substr(0, half)));

        digest.update(data.data() + half, data.size() - half);
        std::string whole =
            algorithm == Algorithm::md5 ? digestOf(algorithm, data) : sha256Hex(data);
        EXPECT_EQ(digest.hexDigest(), whole);
        EXPECT_EQ(digest.hexDigest(), whole);  // reading it again changes nothing

        StreamingDigest moved = std::move(digest);
        EXPECT_EQ(moved.hexDigest(), whole);
        moved.reset();
        moved.update("abc", 3);
        EXPECT_EQ(moved.hexDigest(), algorithm == Algorithm::md5 ? kMd5Abc : kSha256Abc);
    }
}

}  // namespace
}  // namespace quilo::detail

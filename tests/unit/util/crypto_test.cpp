#include "vorpane/util/crypto.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorpane::util {
namespace {

// Test vectors published with the algorithms (RFC 1321 appendix A.5, RFC 4648 section 10).
TEST(CryptoMd5, MatchesPublishedVectors) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234"
                      "567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(CryptoMd5, HashesEmbeddedNulBytes) {
    const std::string with_nul("a\0b", 3);
    EXPECT_NE(md5_hex(with_nul), md5_hex("a"));
    EXPECT_EQ(md5_hex(with_nul).size(), 32U);
}

TEST(CryptoBase64, MatchesPublishedVectors) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64_encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
}

TEST(CryptoBase64, EncodesBinaryAndUtf8Bytes) {
    EXPECT_EQ(base64_encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(base64_encode("id:"), "aWQ6");
    EXPECT_EQ(base64_encode("\xc3\xa4:\xc3\xb6"), "w6Q6w7Y=");
}

TEST(CryptoBase64, LongInputHasNoLineBreaksAndExactLength) {
    const std::string input(9 * 1024 * 1024 + 1, 'x');
    const std::string encoded = base64_encode(input);
    EXPECT_EQ(encoded.size(), (input.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(encoded.substr(encoded.size() - 4), "eA==");
    EXPECT_EQ(encoded.substr(0, 8), "eHh4eHh4");
}

} // namespace
} // namespace vorpane::util

#include "vorpane/util/crypto.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorpane::util {
namespace {

// Test vectors published with the algorithms (RFC 1321 appendix A.5, RFC 4648 section 10).
TEST(Crypto, Md5AndBase64MatchPublishedVectors) {
    const std::vector<std::pair<std::string, std::string>> md5 = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
         "7890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& [input, digest] : md5) {
        EXPECT_EQ(md5_hex(input), digest) << input;
    }
    EXPECT_NE(md5_hex(std::string("a\0b", 3)), md5_hex("a"));
    const std::vector<std::pair<std::string, std::string>> base64 = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00", 3), "//4A"},
        {"id:", "aWQ6"}};
    for (const auto& [input, encoded] : base64) {
        EXPECT_EQ(base64_encode(input), encoded) << input;
    }
    // Long input comes back as one line.
    const std::string encoded = base64_encode(std::string(9 * 1024 * 1024 + 1, 'x'));
    EXPECT_EQ(encoded.size(), (9U * 1024 * 1024 + 3) / 3 * 4);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(encoded.substr(encoded.size() - 4), "eA==");
}

} // namespace
} // namespace vorpane::util

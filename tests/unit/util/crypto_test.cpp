#include "vorpane/util/crypto.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorpane::util {
namespace {

TEST(Crypto, DigestsMatchTheStandardTestVectors) {
    struct Case {
        std::string data, md5, sha256;
    };
    for (const Case& c : {
             Case{"", "d41d8cd98f00b204e9800998ecf8427e",
                  "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
             Case{"abc", "900150983cd24fb0d6963f7d28e17f72",
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
         }) {
        EXPECT_EQ(md5_hex(c.data), c.md5);
        EXPECT_EQ(sha256_hex(c.data), c.sha256);
    }
}

TEST(Crypto, Base64PadsOnlyAtTheEndEvenPastOneEncodingBlock) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\0\xfb\xff", 3), "APv/"}};
    for (const auto& [data, encoded] : cases) {
        EXPECT_EQ(base64_encode(data), encoded);
    }
    // Larger inputs go to libcrypto in pieces of 3 MiB.
    const std::string block(size_t{3} * 1024 * 1024, '\xfb');
    const std::string encoded = base64_encode(block + "fo");
    EXPECT_EQ(encoded.size(), (block.size() + 2 + 2) / 3 * 4);
    EXPECT_EQ(encoded.substr(encoded.size() - 8), "+/v7Zm8=");
    EXPECT_EQ(encoded.find('='), encoded.size() - 1);
}

} // namespace
} // namespace vorpane::util

#include "vorpane/util/crypto.hpp"

#include "vorpane/util/dynlib.hpp"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>

namespace vorpane::util {

namespace {

struct CryptoApi {
    CryptoApi() : lib({"libcrypto.so.3", "libcrypto.so"}) {
        VORPANE_DYN_FN(lib, EVP_Digest);
        VORPANE_DYN_FN(lib, EVP_md5);
        VORPANE_DYN_FN(lib, EVP_sha256);
        VORPANE_DYN_FN(lib, EVP_EncodeBlock);
    }

    DynLib lib;
    decltype(&::EVP_Digest) EVP_Digest = nullptr;
    decltype(&::EVP_md5) EVP_md5 = nullptr;
    decltype(&::EVP_sha256) EVP_sha256 = nullptr;
    decltype(&::EVP_EncodeBlock) EVP_EncodeBlock = nullptr;
};

const CryptoApi& crypto_api() {
    static const CryptoApi api;
    return api;
}

std::string digest_hex(std::string_view data, const EVP_MD* md, const char* name) {
    const CryptoApi& api = crypto_api();
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (api.EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr) != 1) {
        throw std::runtime_error(std::string("libcrypto could not compute the ") + name +
                                 " digest");
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(static_cast<size_t>(length) * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0f]);
    }
    return text;
}

} // namespace

std::string md5_hex(std::string_view data) {
    return digest_hex(data, crypto_api().EVP_md5(), "MD5");
}

std::string sha256_hex(std::string_view data) {
    return digest_hex(data, crypto_api().EVP_sha256(), "SHA-256");
}

std::string base64_encode(std::string_view data) {
    const CryptoApi& api = crypto_api();
    // EVP_EncodeBlock takes an int length; whole groups of three bytes per call keep long
    // inputs within it without padding in the middle.
    constexpr size_t chunk = size_t{3} * 1024 * 1024;
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    std::string block;
    for (size_t offset = 0; offset < data.size(); offset += chunk) {
        const std::string_view piece = data.substr(offset, chunk);
        block.resize((piece.size() + 2) / 3 * 4 + 1);
        const int written = api.EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(block.data()),
            reinterpret_cast<const unsigned char*>(piece.data()), static_cast<int>(piece.size()));
        text.append(block.data(), static_cast<size_t>(written));
    }
    return text;
}

} // namespace vorpane::util

#pragma once

#include <string>
#include <string_view>

namespace vorpane::util {

// The MD5 digest of `data` as 32 lower-case hexadecimal digits. A name hash, not a security
// measure. Loads libcrypto on first use; throws std::runtime_error when it cannot.
std::string md5_hex(std::string_view data);

// The SHA-256 digest of `data` as 64 lower-case hexadecimal digits. Throws like md5_hex.
std::string sha256_hex(std::string_view data);

// The standard Base64 encoding of `data`, with padding and without line breaks. Loads
// libcrypto on first use; throws std::runtime_error when it cannot.
std::string base64_encode(std::string_view data);

} // namespace vorpane::util

// Escaping of text for the terminal. The input is arbitrary bytes, as names and messages from
// outside may hold.
#include "vorpane/util/redact.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

namespace {

// The code point of the well-formed UTF-8 sequence at `i`, and its length.
char32_t decode(std::string_view text, std::size_t i, std::size_t& length) {
    auto b0 = static_cast<unsigned char>(text[i]);
    length = b0 < 0x80 ? 1 : b0 < 0xe0 ? 2 : b0 < 0xf0 ? 3 : 4;
    static constexpr unsigned char lead_mask[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    char32_t cp = b0 & lead_mask[length];
    for (std::size_t k = 1; k < length; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    }
    return cp;
}

bool is_control(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp < 0xa0) || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200e || cp == 0x200f || cp == 0x061c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string out = util::escape_control(input);

    fuzz::expect(fuzz::is_valid_utf8(out), "output is not UTF-8");
    bool has_control = false;
    for (std::size_t i = 0, length = 0; i < out.size(); i += length) {
        fuzz::expect(!is_control(decode(out, i, length)), "output holds a control character");
    }
    if (fuzz::is_valid_utf8(input)) {
        for (std::size_t i = 0, length = 0; i < input.size(); i += length) {
            has_control = has_control || is_control(decode(input, i, length));
        }
        fuzz::expect(has_control || out == input, "text without controls was changed");
    }
    fuzz::expect(out.size() >= input.size(), "escaping lost bytes");
    fuzz::expect(util::is_terminal_safe(out), "escaped text is not terminal-safe");
    fuzz::expect(util::is_terminal_safe(input) == (out == input),
                 "is_terminal_safe disagrees with escape_control");
    return 0;
}

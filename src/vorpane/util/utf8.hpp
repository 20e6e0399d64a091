#pragma once

#include <cstddef>
#include <string_view>

namespace vorpane::util {

// One code point read from UTF-8 text; `length` is 0 when the bytes there are not well-formed.
struct Utf8Char {
    char32_t code_point = 0;
    std::size_t length = 0;
};

// Decodes the code point at byte `i` of `text` (i < text.size()). Well-formed means the shortest
// form, no encoded surrogate (U+D800 to U+DFFF), nothing above U+10FFFF and no sequence cut off by
// the end of `text`; anything else gives length 0.
inline Utf8Char decode_utf8(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t cp = 0;
    // The first continuation byte's range narrows after some leads (Unicode's table 3-7).
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    if (i + length > text.size()) {
        return {};
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char b = byte(i + k);
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) {
            return {};
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, length};
}

// True when all of `text` is well-formed UTF-8.
inline bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = decode_utf8(text, i).length;
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace vorpane::util

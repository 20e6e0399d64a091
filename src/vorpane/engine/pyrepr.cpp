#include "vorpane/engine/pyrepr.hpp"

#include "vorpane/util/utf8.hpp"

#include <array>
#include <utility>

namespace vorpane::engine {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Code points Python does not print as themselves: the Zs separators other than the space,
// Zl, Zp, Cc, the Cf format characters, Cs and Co, plus the unassigned blocks that are large
// enough to matter. Sorted.
constexpr std::array k_non_printable{
    Range{0x0000, 0x001f},    Range{0x007f, 0x00a0},   Range{0x00ad, 0x00ad},
    Range{0x0378, 0x0379},    Range{0x0380, 0x0383},   Range{0x038b, 0x038b},
    Range{0x038d, 0x038d},    Range{0x03a2, 0x03a2},   Range{0x0600, 0x0605},
    Range{0x061c, 0x061c},    Range{0x06dd, 0x06dd},   Range{0x070f, 0x070f},
    Range{0x0890, 0x0891},    Range{0x08e2, 0x08e2},   Range{0x1680, 0x1680},
    Range{0x180e, 0x180e},    Range{0x2000, 0x200f},   Range{0x2028, 0x202f},
    Range{0x205f, 0x2064},    Range{0x2065, 0x206f},   Range{0x3000, 0x3000},
    Range{0xd800, 0xf8ff},    Range{0xfdd0, 0xfdef},   Range{0xfeff, 0xfeff},
    Range{0xfff0, 0xfffb},    Range{0xfffe, 0xffff},   Range{0x110bd, 0x110bd},
    Range{0x110cd, 0x110cd},  Range{0x13430, 0x1343f}, Range{0x1bca0, 0x1bca3},
    Range{0x1d173, 0x1d17a},  Range{0x2fffe, 0x2ffff}, Range{0x323b0, 0xe00ff},
    Range{0xe01f0, 0x10ffff},
};

bool is_plane_noncharacter(char32_t cp) {
    return (cp & 0xfffe) == 0xfffe;
}

void append_hex(std::string& out, char prefix, char32_t value, int digits) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '\\';
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += hex[(value >> shift) & 0xf];
    }
}

void append_escaped(std::string& out, char32_t cp) {
    if (cp <= 0xff) {
        append_hex(out, 'x', cp, 2);
    } else if (cp <= 0xffff) {
        append_hex(out, 'u', cp, 4);
    } else {
        append_hex(out, 'U', cp, 8);
    }
}

} // namespace

bool python_is_printable(char32_t cp) {
    if (is_plane_noncharacter(cp)) {
        return false;
    }
    for (const auto& range : k_non_printable) {
        if (cp < range.first) {
            return true;
        }
        if (cp <= range.last) {
            return false;
        }
    }
    return true;
}

std::string python_str_repr(std::string_view utf8) {
    bool has_single = utf8.find('\'') != std::string_view::npos;
    bool has_double = utf8.find('"') != std::string_view::npos;
    char quote = has_single && !has_double ? '"' : '\'';

    std::string out;
    out.reserve(utf8.size() + 2);
    out += quote;
    size_t i = 0;
    while (i < utf8.size()) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            ++i;
            if (c == static_cast<unsigned char>(quote) || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c == '\t') {
                out += "\\t";
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c < 0x20 || c == 0x7f) {
                append_hex(out, 'x', c, 2);
            } else {
                out += static_cast<char>(c);
            }
            continue;
        }
        auto [cp, length] = util::decode_utf8(utf8, i);
        if (length == 0) {
            // Python decodes argv with surrogateescape: each stray byte becomes U+DC80..U+DCFF.
            append_hex(out, 'u', 0xdc00 + c, 4);
            ++i;
            continue;
        }
        if (python_is_printable(cp)) {
            out.append(utf8.substr(i, length));
        } else {
            append_escaped(out, cp);
        }
        i += length;
    }
    out += quote;
    return out;
}

std::string python_tuple_repr(const std::vector<std::string>& items) {
    std::string out = "(";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += python_str_repr(items[i]);
    }
    if (items.size() == 1) {
        out += ',';
    }
    out += ')';
    return out;
}

} // namespace vorpane::engine

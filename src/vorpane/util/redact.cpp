#include "vorpane/util/redact.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace vorpane::util {

namespace {

bool is_scheme_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
}

// Characters that end the authority part of a URL, or the URL itself inside running text.
bool ends_authority(char c) {
    return c == '/' || c == '?' || c == '#' || c == '\\' || c == '\'' || c == '"' || c == '<' ||
           c == '>' || c == '`' || c == ',' || c == '(' || c == ')' ||
           std::isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string mask_url_password(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    size_t pos = 0;
    while ((pos = text.find("://", pos)) != std::string_view::npos) {
        size_t authority = pos + 3;
        pos = authority;
        if (authority - 3 == 0 || !is_scheme_char(text[authority - 4])) {
            continue;
        }
        size_t end = authority;
        while (end < text.size() && !ends_authority(text[end])) {
            ++end;
        }
        std::string_view netloc = text.substr(authority, end - authority);
        size_t at = netloc.rfind('@');
        if (at == std::string_view::npos || at == 0) {
            continue;
        }
        std::string_view userinfo = netloc.substr(0, at);
        size_t colon = userinfo.find(':');
        out.append(text.substr(copied, authority - copied));
        if (colon == std::string_view::npos) {
            out += "****";
        } else if (colon + 1 == userinfo.size()) {
            out.append(userinfo);
        } else {
            out.append(userinfo.substr(0, colon + 1));
            out += "****";
        }
        copied = authority + at;
        pos = end;
    }
    out.append(text.substr(copied));
    return out;
}

namespace {

// Length of the valid UTF-8 sequence that starts at `i`, or 0 when the byte there starts none.
size_t utf8_length(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t len = lead < 0x80                    ? 1
                 : lead >= 0xC2 && lead <= 0xDF ? 2
                 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                : 0;
    if (len == 0 || i + len > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && byte(i + 1) < 0xA0) || (lead == 0xED && byte(i + 1) > 0x9F) ||
        (lead == 0xF0 && byte(i + 1) < 0x90) || (lead == 0xF4 && byte(i + 1) > 0x8F)) {
        return 0;
    }
    return len;
}

} // namespace

std::string escape_control(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char buf[8];
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t len = utf8_length(text, i);
        if (len == 0 || (len == 1 && (c < 0x20 || c == 0x7F))) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
        } else if (len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
            out += buf;
            i += 2;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

bool is_terminal_safe(std::string_view text) {
    return escape_control(text) == text;
}

} // namespace vorpane::util

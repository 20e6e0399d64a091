#include "vorpane/util/redact.hpp"

#include "vorpane/util/libcurl.hpp"
#include "vorpane/util/utf8.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <utility>

namespace vorpane::util {

namespace {

bool is_scheme_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
}

// Characters that end a URL inside running text. "/", "?" and "#" do not: a password may hold
// them, and the URL is then taken as a whole.
bool ends_url(char c) {
    return c == '\\' || c == '\'' || c == '"' || c == '<' || c == '>' || c == '`' || c == ',' ||
           c == '(' || c == ')' || std::isspace(static_cast<unsigned char>(c)) != 0;
}

// How many bytes after "://" of `url` are credentials to mask, and how many of those to keep
// (the user name before a password): both 0 when there are none.
std::pair<size_t, size_t> credentials_span(std::string_view url, size_t authority) {
    std::optional<UrlParts> parts;
    try {
        parts = split_url(url);
    } catch (const std::runtime_error&) {
        // Without libcurl nothing can be parsed: mask as for an unreadable URL.
    }
    const std::string_view rest = url.substr(authority);
    if (parts) {
        if (!parts->user && !parts->password) {
            return {0, 0};
        }
        // libcurl found credentials, so they run up to the first "@" and hold no "/?#".
        const size_t at = rest.find('@');
        const size_t colon = rest.substr(0, at).find(':');
        if (colon == std::string_view::npos) {
            return {at, 0};
        }
        return {at, colon + 1 == at ? at : colon + 1};
    }
    // Unreadable, perhaps for a raw "/", "#" or "@" in a password: all before the last "@" goes.
    const size_t at = rest.rfind('@');
    if (at == std::string_view::npos || at == 0) {
        return {0, 0};
    }
    const size_t colon = rest.substr(0, at).find(':');
    return {at, colon == std::string_view::npos ? 0 : colon + 1};
}

} // namespace

std::string mask_url_password(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    size_t pos = 0;
    while ((pos = text.find("://", pos)) != std::string_view::npos) {
        const size_t authority = pos + 3;
        size_t begin = pos;
        pos = authority;
        while (begin > 0 && is_scheme_char(text[begin - 1])) {
            --begin;
        }
        if (begin == authority - 3) {
            continue;
        }
        size_t end = authority;
        while (end < text.size() && !ends_url(text[end])) {
            ++end;
        }
        const std::string_view url = text.substr(begin, end - begin);
        if (url.find('@') == std::string_view::npos) {
            continue;
        }
        const auto [span, kept] = credentials_span(url, authority - begin);
        if (span == 0 || kept == span) {
            continue;
        }
        out.append(text.substr(copied, authority + kept - copied));
        out += "****";
        copied = authority + span;
        pos = end;
    }
    out.append(text.substr(copied));
    return out;
}

namespace {

// Controls that reorder the text around them: a name holding one can show as another.
bool is_bidi_control(char32_t cp) {
    return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E ||
           cp == 0x200F || cp == 0x061C;
}

} // namespace

std::string escape_control(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char buf[8];
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        const auto [cp, len] = decode_utf8(text, i);
        if (len == 0 || (len == 1 && (c < 0x20 || c == 0x7F))) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
            ++i;
        } else if ((cp >= 0x80 && cp < 0xA0) || is_bidi_control(cp)) {
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
            out += buf;
            i += len;
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

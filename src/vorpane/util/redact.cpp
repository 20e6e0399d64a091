#include "vorpane/util/redact.hpp"

#include <cctype>

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

} // namespace vorpane::util

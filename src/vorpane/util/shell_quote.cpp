#include "vorpane/util/shell_quote.hpp"

#include <algorithm>

namespace vorpane::util {

std::string shell_quote(std::string_view text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '/' || c == '-';
    });
    if (plain) {
        return std::string(text);
    }
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
    }
    return out + "'";
}

} // namespace vorpane::util

#pragma once

#include <string_view>

namespace vorpane::util {

// `text` without the ASCII white space (" \t\n\r\f\v") at either end.
inline std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace vorpane::util

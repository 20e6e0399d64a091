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

// The first line of `text`: everything before its first line break.
inline std::string_view first_line(std::string_view text) {
    return text.substr(0, text.find('\n'));
}

// The last line of `text` that holds more than white space, without the white space that ends
// it; empty when there is none.
inline std::string_view last_line(std::string_view text) {
    const size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string_view::npos) {
        return {};
    }
    size_t start = text.find_last_of('\n', end);
    start = start == std::string_view::npos ? 0 : start + 1;
    return text.substr(start, end + 1 - start);
}

} // namespace vorpane::util

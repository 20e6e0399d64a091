#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vorpane::config {

// toml++ 3.3 asks whether a character is whitespace through a table that ends in
// __builtin_unreachable for much of the non-ASCII range (U+00A1, say): undefined behaviour on a
// hand-edited file. It asks outside strings and comments, where TOML allows only ASCII, so the
// first non-ASCII character there is reported here; and right after a backslash in a multi-line
// string, where an escape is invalid anyway, and after a line-ending backslash, where the
// character is legal and is handed over as the equivalent \u escape instead. Strings and
// comments are skipped as the parser reads them, and bare values are read as far as it reads
// them. Returns the text to parse.
std::string guard_toml_text(std::string_view content, const std::filesystem::path& path);

// Throws ConfigParseError: "<path>: invalid TOML at line L, column C: <description>".
[[noreturn]] void invalid_toml(const std::filesystem::path& path,
                               std::size_t line,
                               std::size_t column,
                               const std::string& description);

} // namespace vorpane::config

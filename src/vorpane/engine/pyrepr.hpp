#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorpane::engine {

// The text Python's repr() gives for the str that `utf8` decodes to: single quotes, or double
// quotes when the text holds a ' and no "; backslash, the enclosing quote, \n, \r and \t
// escaped; other non-printable characters as \xNN, \uNNNN or \UNNNNNNNN (lower-case hex);
// printable non-ASCII kept as UTF-8. Bytes that are not valid UTF-8 appear as \udcNN, as
// Python's surrogateescape decoding of command-line arguments gives them. Printability follows
// Python's rules for control, format, separator, private-use, surrogate and noncharacter code
// points and for the unassigned planes; other unassigned code points count as printable.
std::string python_str_repr(std::string_view utf8);

// Python's repr() of a tuple of those strings: "()", "('x',)", "('a', 'b')".
std::string python_tuple_repr(const std::vector<std::string>& items);

// True when Python's str.isprintable() holds for the code point `cp` (within the limits above).
bool python_is_printable(char32_t cp);

} // namespace vorpane::engine

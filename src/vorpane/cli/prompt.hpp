#pragma once

#include "vorpane/core/output.hpp"

#include <string>
#include <string_view>

namespace vorpane::cli {

// Asks `question` + ": " on `out` and reads one line from standard input; an empty
// answer asks again. The answer is returned exactly as typed. Throws core::Aborted at end of input.
std::string prompt(core::Output& out, std::string_view question);

// Like prompt, but when standard input is a terminal the answer is read without echo (the
// terminal's mode comes back on every way out, Ctrl-C included) and the line break is printed
// afterwards. Piped answers are read exactly as prompt reads them.
std::string prompt_secret(core::Output& out, std::string_view question);

// Asks `question` + " [Y/n]: " (or " [y/N]: ") until the answer is empty (the default), y, yes,
// n or no, in any case; anything else prints "Error: invalid input" and asks again.
// Throws core::Aborted at end of input.
bool confirm(core::Output& out, std::string_view question, bool default_yes);

} // namespace vorpane::cli

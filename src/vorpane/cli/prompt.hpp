#pragma once

#include "vorpane/core/output.hpp"

#include <string>
#include <string_view>

namespace vorpane::cli {

// Asks `question` + ": " on `out` and reads one line from standard input; an empty
// answer asks again. The answer is returned exactly as typed. Throws core::Aborted at end of input.
std::string prompt(core::Output& out, std::string_view question);

// Asks `question` + " [Y/n]: " (or " [y/N]: ") until the answer is empty (the default), y, yes,
// n or no, in any case; anything else prints "Error: invalid input" and asks again.
// Throws core::Aborted at end of input.
bool confirm(core::Output& out, std::string_view question, bool default_yes);

} // namespace vorpane::cli

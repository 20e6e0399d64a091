#pragma once

#include <string>
#include <string_view>

namespace vorpane::cli {

// Asks `question` + ": " on standard output and reads one line from standard input; an empty
// answer asks again. The answer is returned exactly as typed. Throws Aborted at end of input.
std::string prompt(std::string_view question);

// Asks `question` + " [Y/n]: " (or " [y/N]: ") until the answer is empty (the default), y, yes,
// n or no, in any case; anything else prints "Error: invalid input" and asks again.
// Throws Aborted at end of input.
bool confirm(std::string_view question, bool default_yes);

} // namespace vorpane::cli

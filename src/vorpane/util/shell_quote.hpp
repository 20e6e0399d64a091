#pragma once

#include <string>
#include <string_view>

namespace vorpane::util {

// `text` as one word for a POSIX shell, for commands that users copy and paste: unchanged when it
// is not empty and holds only [A-Za-z0-9_./-], otherwise in single quotes with each ' written as
// '\'' (so "$(...)", ";", spaces and the like stay literal). Control characters are not made
// visible here: escape them first (escape_control) when the word goes to a terminal.
std::string shell_quote(std::string_view text);

} // namespace vorpane::util

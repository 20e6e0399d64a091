#include "vorpane/util/shell_quote.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vorpane::util {
namespace {

TEST(ShellQuote, QuotesEverythingButPlainPathCharacters) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/home/u/ex-1/a_b/requirements.txt", "/home/u/ex-1/a_b/requirements.txt"},
        {"my examples/r.txt", "'my examples/r.txt'"},
        {"$(touch pwned)/r.txt", "'$(touch pwned)/r.txt'"},
        {"a;rm -rf ~", "'a;rm -rf ~'"},
        {"it's", "'it'\\''s'"},
        {"''", "''\\'''\\'''"},
        {"", "''"},
        {"\u00dcbung`x`", "'\u00dcbung`x`'"},
    };
    for (const auto& [text, quoted] : cases) {
        EXPECT_EQ(shell_quote(text), quoted) << text;
    }
}

} // namespace
} // namespace vorpane::util

// Inputs the fuzzers found, kept so that the fixes stay.
#include "vorpane/config/config_file.hpp"
#include "vorpane/core/errors.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

// The parser's character table is undefined for non-ASCII outside strings; such a file is
// invalid TOML anyway and must be reported as such, at the character's position.
TEST(FuzzRegressionConfig, NonAsciiOutsideStringsIsAParseErrorAtItsPosition) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[pr\xEF\xBB\xBDk", "vorpane.toml: invalid TOML at line 1, column 4: unexpected non-ASCII "
                             "character outside a string or comment"},
        {"[profile]\ncaf\xC3\xA9 = 1\n", "line 2, column 4"},
        {"x = 1 \xC2\xA1\n", "line 1, column 7"},
        {"a = \"x\"\n\xEF\xB7\x90", "line 2, column 1"},
        // A quote inside a malformed value opens no string.
        {"[other]\nwhen = 1979-05-2s\"07:3\xCE\xBE"
         "0\x10Z\n",
         "line 2, column 23: unexpected non-ASCII"},
        {"\"\"\"4\\\xC3\x90Y", "line 1, column 6: invalid escape"},
        {"a = \"\"\"x\\ \xC3\xA9\"\"\"\n", "must end its line"},
        // A bare value runs on past quotes and brackets.
        {"extra = 1_id(=[\"\xEF\xBB\xBBY\"\n", "line 1, column 17: unexpected non-ASCII"},
    };
    for (const auto& [text, fragment] : cases) {
        EXPECT_THAT(test::what_of<ConfigParseError>([&] { parse_config(text, "vorpane.toml"); }),
                    ::testing::HasSubstr(fragment));
    }
}

TEST(FuzzRegressionConfig, NonAsciiInsideStringsAndCommentsStillReads) {
    struct Case {
        std::string text, token_id, token;
    };
    for (const Case& c : {
             Case{"\xEF\xBB\xBF# caf\xC3\xA9 \" '\n"
                  "[profile]\n"
                  "token_id = \"\"\"x\xC3\xA9\"\"\"\"\n"
                  "token = '''\xEF\xBB\xBD'''\n"
                  "\"k\xC3\xA9\\\"\" = \"\\\\\xC2\xA1\"\n"
                  "note = 'it\xC3\xA9' # \xC2\xA1\n"
                  "cloud_environment = \"dev.cloud\"\n",
                  "x\xC3\xA9\"", "\xEF\xBB\xBD"},
             // A line-ending backslash before non-ASCII keeps the text.
             Case{"[profile]\ntoken_id = \"\"\"a \\\n  \t\n   "
                  "\xC3\xA9\xF0\x9F\x98\x80 \\\n \xEF\xBB\xBD\"\"\"\n"
                  "token = \"t\"\n",
                  "a \xC3\xA9\xF0\x9F\x98\x80 \xEF\xBB\xBD", "t"},
             // Without spaces a key still ends where its value's string begins.
             Case{"[profile]\ntoken_id=\"\xC3\xA9\"\ntoken=\"t\"\nlist=["
                  "\"\xC3\xA9\",{k=\"\xC2\xA1\"}]\nx={a.b=\"\xC3\xA9\"}\n",
                  "\xC3\xA9", "t"},
             // Were the escaped quote taken as the end, the é would count as outside the string.
             Case{"[profile]\ntoken_id = \"a\\\"\xC3\xA9\"\ntoken = \"t\"\n", "a\"\xC3\xA9", "t"},
         }) {
        const records::VorpaneConfig conf = parse_config(c.text, "vorpane.toml");
        EXPECT_EQ(conf.profile.token_id, c.token_id) << c.text;
        EXPECT_EQ(conf.profile.token, c.token) << c.text;
    }
    // Validation still runs after the check.
    EXPECT_THROW(parse_config("# \xC3\xA9\n[options]\nadvanced_mode = true\n", "vorpane.toml"),
                 core::ValidationError);
}

} // namespace
} // namespace vorpane::config

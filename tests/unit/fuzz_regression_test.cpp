// Inputs the fuzzers found, kept so that the fixes stay.
#include "vorpane/config/config_file.hpp"
#include "vorpane/core/errors.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorpane::config {
namespace {

std::string parse_error_of(const std::string& text) {
    try {
        parse_config(text, "vorpane.toml");
    } catch (const ConfigParseError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no parse error for: " << text;
    return {};
}

// The parser's character table is undefined for these outside strings; the file is invalid
// TOML anyway and must be reported as such, at the character's position.
TEST(FuzzRegressionConfig, NonAsciiInTableHeaderIsAParseError) {
    std::string message = parse_error_of("[pr\xEF\xBB\xBDk");
    EXPECT_EQ(message, "vorpane.toml: invalid TOML at line 1, column 4: unexpected non-ASCII "
                       "character outside a string or comment");
}

TEST(FuzzRegressionConfig, NonAsciiInBareKeyOrAfterValueIsAParseError) {
    EXPECT_NE(parse_error_of("[profile]\ncaf\xC3\xA9 = 1\n").find("line 2, column 4"),
              std::string::npos);
    EXPECT_NE(parse_error_of("x = 1 \xC2\xA1\n").find("line 1, column 7"), std::string::npos);
    EXPECT_NE(parse_error_of("a = \"x\"\n\xEF\xB7\x90").find("line 2, column 1"),
              std::string::npos);
}

TEST(FuzzRegressionConfig, NonAsciiInsideStringsAndCommentsStillReads) {
    const std::string text = "\xEF\xBB\xBF# caf\xC3\xA9 \" '\n"
                             "[profile]\n"
                             "token_id = \"\"\"x\xC3\xA9\"\"\"\"\n"
                             "token = '''\xEF\xBB\xBD'''\n"
                             "\"k\xC3\xA9\\\"\" = \"\\\\\xC2\xA1\"\n"
                             "note = 'it\xC3\xA9' # \xC2\xA1\n"
                             "cloud_environment = \"dev.cloud\"\n";
    VorpaneConfig conf = parse_config(text, "vorpane.toml");
    EXPECT_EQ(conf.profile.token_id, "x\xC3\xA9\"");
    EXPECT_EQ(conf.profile.token, "\xEF\xBB\xBD");
    EXPECT_EQ(conf.profile.cloud_environment, "dev.cloud");
}

TEST(FuzzRegressionConfig, QuoteInsideAMalformedValueOpensNoString) {
    std::string message = parse_error_of("[other]\nwhen = 1979-05-2s\"07:3\xCE\xBE"
                                         "0\x10Z\n");
    EXPECT_NE(message.find("line 2, column 23: unexpected non-ASCII"), std::string::npos)
        << message;
}

TEST(FuzzRegressionConfig, NonAsciiAfterABackslashInAMultiLineString) {
    EXPECT_NE(parse_error_of("\"\"\"4\\\xC3\x90Y").find("line 1, column 6: invalid escape"),
              std::string::npos);
    EXPECT_NE(parse_error_of("a = \"\"\"x\\ \xC3\xA9\"\"\"\n").find("must end its line"),
              std::string::npos);
}

TEST(FuzzRegressionConfig, LineEndingBackslashBeforeNonAsciiKeepsTheText) {
    VorpaneConfig conf = parse_config("[profile]\ntoken_id = \"\"\"a \\\n  \t\n   "
                                      "\xC3\xA9\xF0\x9F\x98\x80 \\\n \xEF\xBB\xBD\"\"\"\n"
                                      "token = \"t\"\n",
                                      "vorpane.toml");
    EXPECT_EQ(conf.profile.token_id, "a \xC3\xA9\xF0\x9F\x98\x80 \xEF\xBB\xBD");
}

TEST(FuzzRegressionConfig, BareValueRunsOnPastQuotesAndBrackets) {
    std::string message = parse_error_of("extra = 1_id(=[\"\xEF\xBB\xBBY\"\n");
    EXPECT_NE(message.find("line 1, column 17: unexpected non-ASCII"), std::string::npos)
        << message;
    // Without spaces a key still ends where its value's string begins.
    VorpaneConfig conf = parse_config("[profile]\ntoken_id=\"\xC3\xA9\"\ntoken=\"t\"\nlist=["
                                      "\"\xC3\xA9\",{k=\"\xC2\xA1\"}]\nx={a.b=\"\xC3\xA9\"}\n",
                                      "vorpane.toml");
    EXPECT_EQ(conf.profile.token_id, "\xC3\xA9");
}

TEST(FuzzRegressionConfig, EscapedQuoteDoesNotEndABasicString) {
    // Were the escaped quote taken as the end, the é would count as outside the string.
    VorpaneConfig conf =
        parse_config("[profile]\ntoken_id = \"a\\\"\xC3\xA9\"\ntoken = \"t\"\n", "vorpane.toml");
    EXPECT_EQ(conf.profile.token_id, "a\"\xC3\xA9");
}

TEST(FuzzRegressionConfig, ValidationStillRunsAfterTheCheck) {
    EXPECT_THROW(parse_config("# \xC3\xA9\n[options]\nadvanced_mode = true\n", "vorpane.toml"),
                 core::ValidationError);
}

} // namespace
} // namespace vorpane::config

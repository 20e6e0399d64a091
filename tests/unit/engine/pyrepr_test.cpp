#include "vorpane/engine/pyrepr.hpp"

#include <gtest/gtest.h>

namespace vorpane::engine {
namespace {

// Every expected text below is what Python 3.11's repr() printed for the same string.
struct ReprCase {
    std::string input;
    std::string python;
};

TEST(PythonStrRepr, MatchesPythonOutput) {
    const std::vector<ReprCase> cases = {
        {"pip", "'pip'"},
        {"it's", "\"it's\""},
        {"say \"hi\"", "'say \"hi\"'"},
        {"both ' and \"", "'both \\' and \"'"},
        {"back\\slash", "'back\\\\slash'"},
        {"tab\there\nnl\rcr", "'tab\\there\\nnl\\rcr'"},
        {std::string("\x00\x1b\x7f", 3), "'\\x00\\x1b\\x7f'"},
        {"caf\u00e9 \u65e5\u672c", "'caf\u00e9 \u65e5\u672c'"},
        {"\u00a0nbsp\u00ad", "'\\xa0nbsp\\xad'"},
        {"\u200b\u2028\ufeff", "'\\u200b\\u2028\\ufeff'"},
        {"\ue000", "'\\ue000'"},
        {"\U0001f600", "'\U0001f600'"},
        {"\U000e0001", "'\\U000e0001'"},
        {"x\u0085y", "'x\\x85y'"},
        {"\U00040000", "'\\U00040000'"},
        {"\u0378", "'\\u0378'"},
        {"\ufffd", "'\ufffd'"},
        {"\U0010ffff", "'\\U0010ffff'"},
        {"", "''"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(python_str_repr(c.input), c.python) << "input: " << c.input;
    }
}

TEST(PythonStrRepr, InvalidUtf8BecomesEscapedSurrogates) {
    // Python: b"a\xffb\xe2\x82c\xed\xa0\x80".decode("utf-8", "surrogateescape")
    EXPECT_EQ(python_str_repr("a\xff"
                              "b\xe2\x82"
                              "c\xed\xa0\x80"),
              "'a\\udcffb\\udce2\\udc82c\\udced\\udca0\\udc80'");
    // Overlong form and a code point above U+10FFFF.
    EXPECT_EQ(python_str_repr("\xc0\xaf\xf4\x90\x80\x80"),
              "'\\udcc0\\udcaf\\udcf4\\udc90\\udc80\\udc80'");
}

TEST(PythonTupleRepr, EmptySingleAndSeveral) {
    EXPECT_EQ(python_tuple_repr({}), "()");
    EXPECT_EQ(python_tuple_repr({"x"}), "('x',)");
    EXPECT_EQ(python_tuple_repr({"pip", "show", "demo-package"}),
              "('pip', 'show', 'demo-package')");
    EXPECT_EQ(python_tuple_repr({"it's", "a b"}), "(\"it's\", 'a b')");
}

TEST(PythonIsPrintable, CategoryBoundaries) {
    EXPECT_TRUE(python_is_printable(U' '));
    EXPECT_TRUE(python_is_printable(U'~'));
    EXPECT_FALSE(python_is_printable(0x7f));
    EXPECT_FALSE(python_is_printable(0x9f));
    EXPECT_TRUE(python_is_printable(0xa1));
    EXPECT_FALSE(python_is_printable(0x2029));
    EXPECT_TRUE(python_is_printable(0x2030));
    EXPECT_FALSE(python_is_printable(0xd800));
    EXPECT_TRUE(python_is_printable(0xf900));
    EXPECT_FALSE(python_is_printable(0x1fffe));
    EXPECT_TRUE(python_is_printable(0xe0100));
}

} // namespace
} // namespace vorpane::engine

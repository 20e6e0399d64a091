#include "vorpane/engine/pyrepr.hpp"

#include <gtest/gtest.h>

namespace vorpane::engine {
namespace {

// Every expected text below is what Python 3.11's repr() printed for the same value (invalid
// UTF-8 decoded with "surrogateescape", as Python reads command-line arguments).
TEST(PythonRepr, MatchesPythonOutput) {
    const std::vector<std::pair<std::string, std::string>> strings = {
        {"pip", "'pip'"},
        {"it's", "\"it's\""},
        {"say \"hi\"", "'say \"hi\"'"},
        {"both ' and \"", "'both \\' and \"'"},
        {"back\\slash", "'back\\\\slash'"},
        {"tab\there\nnl\rcr", "'tab\\there\\nnl\\rcr'"},
        {std::string("\x00\x1b\x7f", 3), "'\\x00\\x1b\\x7f'"},
        {"caf\u00e9 \u65e5\u672c \u00a1\u2030\uf900",
         "'caf\u00e9 \u65e5\u672c \u00a1\u2030\uf900'"},
        {"\u00a0nbsp\u00ad\u009f", "'\\xa0nbsp\\xad\\x9f'"},
        {"\u200b\u2028\u2029\ufeff\ue000\u0378", "'\\u200b\\u2028\\u2029\\ufeff\\ue000\\u0378'"},
        {"\U0001f600\ufffd\U000e0100", "'\U0001f600\ufffd\U000e0100'"},
        {"\U000e0001\U00040000\U0010ffff\U0001fffe",
         "'\\U000e0001\\U00040000\\U0010ffff\\U0001fffe'"},
        {"x\u0085y", "'x\\x85y'"},
        {"", "''"},
        {"a\xff"
         "b\xe2\x82"
         "c\xed\xa0\x80",
         "'a\\udcffb\\udce2\\udc82c\\udced\\udca0\\udc80'"},
        // An overlong form and a code point above U+10FFFF.
        {"\xc0\xaf\xf4\x90\x80\x80", "'\\udcc0\\udcaf\\udcf4\\udc90\\udc80\\udc80'"},
    };
    for (const auto& [input, python] : strings) {
        EXPECT_EQ(python_str_repr(input), python) << "input: " << input;
    }
    EXPECT_EQ(python_tuple_repr({}), "()");
    EXPECT_EQ(python_tuple_repr({"x"}), "('x',)");
    EXPECT_EQ(python_tuple_repr({"it's", "a b"}), "(\"it's\", 'a b')");
}

} // namespace
} // namespace vorpane::engine

// The tuple literal that stands for the user's typed names in messages. Names are arbitrary
// bytes from the command line, separated by NUL here as they are in argv.
#include "vorpane/engine/pyrepr.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto items = size == 0 ? std::vector<std::string>{} : fuzz::split(input, '\0');
    std::string out = engine::python_tuple_repr(items);

    fuzz::expect(out.size() >= 2 && out.front() == '(' && out.back() == ')', "not a tuple");
    fuzz::expect(items.size() != 1 || out.ends_with(",)"), "a one-tuple without its comma");
    fuzz::expect(items.size() != 0 || out == "()", "the empty tuple is not ()");
    fuzz::expect(fuzz::is_valid_utf8(out), "output is not UTF-8");
    fuzz::expect(std::none_of(out.begin(), out.end(),
                              [](char c) {
                                  auto b = static_cast<unsigned char>(c);
                                  return b < 0x20 || b == 0x7f;
                              }),
                 "output holds a control character");
    bool ascii_in = std::all_of(input.begin(), input.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    bool ascii_out = std::all_of(out.begin(), out.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    fuzz::expect(!ascii_in || ascii_out, "ASCII names gave non-ASCII output");

    for (const auto& item : items) {
        std::string repr = engine::python_str_repr(item);
        fuzz::expect(repr.size() >= 2 && (repr.front() == '\'' || repr.front() == '"') &&
                         repr.back() == repr.front(),
                     "a string literal without matching quotes");
        // Inside the quotes, the quote character appears only escaped.
        char quote = repr.front();
        for (std::size_t i = 1; i + 1 < repr.size(); ++i) {
            if (repr[i] == '\\') {
                fuzz::expect(i + 2 < repr.size(), "the closing quote is escaped");
                ++i;
                continue;
            }
            fuzz::expect(repr[i] != quote, "an unescaped quote inside a string literal");
        }
        fuzz::expect(out.find(repr) != std::string::npos, "the tuple lacks an element's literal");
    }
    return 0;
}

// The output of `uv pip show`, which comes from whatever the environment holds.
#include "vorpane/modules/entitlements.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view output(reinterpret_cast<const char*>(data), size);
    auto fields = modules::parse_pip_show(output);
    auto newlines = std::count(output.begin(), output.end(), '\n');
    if (!fields) {
        fuzz::expect(newlines < 2, "output of three or more lines was refused");
        return 0;
    }
    fuzz::expect(newlines >= 2, "output of fewer than three lines was accepted");
    fuzz::expect(fields->size() <= static_cast<std::size_t>(newlines) + 1,
                 "more fields than lines");
    for (const auto& [key, value] : *fields) {
        fuzz::expect(
            std::none_of(key.begin(), key.end(), [](char c) { return c >= 'A' && c <= 'Z'; }),
            "a key is not lower case");
        fuzz::expect(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos,
                     "a field spans lines");
        fuzz::expect(key.find(": ") == std::string::npos && value.find(": ") == std::string::npos,
                     "a field holds the separator");
        fuzz::expect(output.find(value) != std::string_view::npos, "a value is not in the output");
    }
    return 0;
}

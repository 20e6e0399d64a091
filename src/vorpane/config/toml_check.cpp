#include "vorpane/config/toml_check.hpp"

#include "vorpane/config/config_file.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/utf8.hpp"

#include <cstdio>
#include <string>

namespace vorpane::config {

namespace fs = std::filesystem;

namespace {

// "\uXXXX" or "\UXXXXXXXX" for the valid UTF-8 sequence at the start of `s`.
std::string unicode_escape(std::string_view s) {
    const char32_t cp = util::decode_utf8(s, 0).code_point;
    char escape[16];
    std::snprintf(escape, sizeof escape, cp > 0xFFFF ? "\\U%08X" : "\\u%04X",
                  static_cast<unsigned>(cp));
    return escape;
}

} // namespace

void invalid_toml(const fs::path& path,
                  std::size_t line,
                  std::size_t column,
                  const std::string& description) {
    throw ConfigParseError(util::escape_control(path.string()) + ": invalid TOML at line " +
                           std::to_string(line) + ", column " + std::to_string(column) + ": " +
                           description);
}

std::string guard_toml_text(std::string_view content, const fs::path& path) {
    std::string text;
    std::size_t copied = 0;
    std::size_t line = 1;
    std::size_t column = 0;
    // The parser accepts a byte-order mark at the start, as editors on Windows write one.
    std::size_t i = content.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    auto at = [&](std::size_t k) { return k < content.size() ? content[k] : '\0'; };
    auto is_ascii = [&](std::size_t k) { return static_cast<unsigned char>(at(k)) < 0x80; };
    // Moves past content[i], keeping the position in code points.
    auto step = [&] {
        if (content[i] == '\n') {
            ++line;
            column = 0;
        } else if ((static_cast<unsigned char>(content[i]) & 0xC0) != 0x80) {
            ++column;
        }
        ++i;
    };
    auto reject = [&](const char* what) {
        step();
        invalid_toml(path, line, column, what);
    };
    // After a backslash at i-1 in a multi-line basic string.
    auto after_multi_line_backslash = [&] {
        std::size_t j = i;
        bool line_break = false;
        while (j < content.size() &&
               std::string_view(" \t\r\n").find(content[j]) != std::string_view::npos) {
            line_break = line_break || content[j] == '\n';
            ++j;
        }
        if (j == i) {
            if (!is_ascii(i)) {
                reject("invalid escape sequence");
            }
            if (i < content.size()) {
                step();
            }
            return;
        }
        std::size_t length = j < content.size() ? util::decode_utf8(content, j).length : 0;
        if (is_ascii(j) || length == 0) {
            return;
        }
        if (!line_break) {
            while (i < j) {
                step();
            }
            reject("a line-ending backslash must end its line");
        }
        text.append(content.substr(copied, j - copied));
        text += unicode_escape(content.substr(j));
        copied = j + length;
    };
    // Skips a string whose opening delimiter starts at i.
    auto skip_string = [&](char quote) {
        bool multi_line = at(i + 1) == quote && at(i + 2) == quote;
        for (int k = multi_line ? 3 : 1; k > 0; --k) {
            step();
        }
        while (i < content.size()) {
            char c = content[i];
            if (quote == '"' && c == '\\') {
                step();
                if (multi_line) {
                    after_multi_line_backslash();
                } else if (i < content.size()) {
                    step();
                }
                continue;
            }
            if (!multi_line && c == '\n') {
                return;
            }
            if (c == quote && (!multi_line || (at(i + 1) == quote && at(i + 2) == quote))) {
                // A multi-line string may end in up to two quotes of its own before the three.
                int run = 0;
                while (at(i) == quote && run < (multi_line ? 5 : 1)) {
                    step();
                    ++run;
                }
                return;
            }
            step();
        }
    };
    // Where keys and where values are expected: a bare value is read up to a value terminator
    // by the parser, quotes and all, while a bare key stops at the first other character.
    enum class Expect { key, value };
    Expect expect = Expect::key;
    std::string open; // '[' for each open array, '{' for each open inline table
    auto is_key_char = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    };
    while (i < content.size()) {
        char c = content[i];
        if (c == '"' || c == '\'') {
            skip_string(c);
        } else if (c == '#') {
            while (i < content.size() && content[i] != '\n') {
                step();
            }
        } else if (!is_ascii(i)) {
            reject("unexpected non-ASCII character outside a string or comment");
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '.') {
            step();
        } else if (c == '\n') {
            expect = open.empty() ? Expect::key : expect;
            step();
        } else if (c == '=') {
            expect = Expect::value;
            step();
        } else if (c == '[' || c == '{') {
            if (expect == Expect::value) {
                open += c;
                expect = c == '[' ? Expect::value : Expect::key;
            }
            step();
        } else if (c == ']' || c == '}') {
            if (!open.empty()) {
                open.pop_back();
            }
            step();
        } else if (c == ',') {
            expect = !open.empty() && open.back() == '{' ? Expect::key : Expect::value;
            step();
        } else if (expect == Expect::key) {
            while (i < content.size() && is_key_char(content[i])) {
                step();
            }
            if (i < content.size() && content[i] == c) {
                step();
            }
        } else {
            while (i < content.size() &&
                   std::string_view(" \t\r\n]},#").find(content[i]) == std::string_view::npos) {
                if (!is_ascii(i)) {
                    reject("unexpected non-ASCII character outside a string or comment");
                }
                step();
            }
        }
    }
    text.append(content.substr(copied));
    return text;
}
} // namespace vorpane::config

#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vorpane::fuzz {

// Reports a broken property and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz property violated: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    std::abort();
}

// Aborts with `what` unless `condition` holds.
inline void expect(bool condition, std::string_view what) {
    if (!condition) {
        fail(what);
    }
}

// `data` split at every `separator` (an input without one gives one piece).
inline std::vector<std::string> split(std::string_view data, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = data.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.emplace_back(data.substr(start));
            return pieces;
        }
        pieces.emplace_back(data.substr(start, end - start));
        start = end + 1;
    }
}

// True when an error message is one non-empty line.
inline bool is_one_line(std::string_view message) {
    return !message.empty() && message.find_first_of("\r\n") == std::string_view::npos;
}

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
inline bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xbf;
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        if (b0 >= 0xc2 && b0 <= 0xdf) {
            length = 2;
        } else if (b0 >= 0xe0 && b0 <= 0xef) {
            length = 3;
            low = b0 == 0xe0 ? 0xa0 : 0x80;
            high = b0 == 0xed ? 0x9f : 0xbf;
        } else if (b0 >= 0xf0 && b0 <= 0xf4) {
            length = 4;
            low = b0 == 0xf0 ? 0x90 : 0x80;
            high = b0 == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            auto b = static_cast<unsigned char>(text[i + k]);
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xbf)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// A private directory for one fuzzing process, on tmpfs when the machine has one; removed when
// the process ends normally.
class ScratchDir {
  public:
    ScratchDir() {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        std::string pattern = (base / "vorpane-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("cannot create a scratch directory");
        }
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

} // namespace vorpane::fuzz

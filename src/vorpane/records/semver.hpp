#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorpane::records {

// A string that is not a Semantic Versioning 2.0.0 version.
class InvalidVersion : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// A parsed Semantic Versioning 2.0.0 version.
struct SemVer {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t patch = 0;
    std::vector<std::variant<std::uint64_t, std::string>> prerelease;
    std::string build;

    // Throws InvalidVersion unless `text` matches the SemVer 2.0.0 grammar exactly.
    static SemVer parse(std::string_view text);
};

// <0, 0 or >0 by SemVer precedence (build metadata ignored).
int compare(const SemVer& a, const SemVer& b);

// Parses both and compares; throws InvalidVersion.
int compare_versions(std::string_view a, std::string_view b);

// `first` when first >= second by precedence, else `second` (ties go to `first`).
// Throws InvalidVersion when either does not parse.
const std::string& max_of(const std::string& first, const std::string& second);

} // namespace vorpane::records

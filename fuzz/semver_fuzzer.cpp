// SemVer parsing and precedence, and the package version operations built on them. The input is
// lines: versions to parse and compare; the first line is also the installed version of a
// package whose available versions are the other lines (an empty first line: not installed).
#include "vorpane/records/records.hpp"
#include "vorpane/records/semver.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"

using namespace vorpane;

namespace {

// The grammar of Semantic Versioning 2.0.0 as the standard itself gives it.
const std::regex& semver_grammar() {
    static const std::regex grammar(
        R"(^(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*))"
        R"((?:-((?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*)(?:\.(?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*))*))?)"
        R"((?:\+([0-9a-zA-Z-]+(?:\.[0-9a-zA-Z-]+)*))?$)");
    return grammar;
}

// The regex engine recurses per character; long lines are checked by the parser alone.
constexpr std::size_t kOracleLimit = 200;

int sign(int value) {
    return (value > 0) - (value < 0);
}

std::optional<records::SemVer> parse_checked(const std::string& text) {
    std::optional<records::SemVer> parsed;
    std::string error;
    try {
        parsed = records::SemVer::parse(text);
    } catch (const records::InvalidVersion& e) {
        error = e.what();
        fuzz::expect(fuzz::is_one_line(error) || text.find_first_of("\r\n") != std::string::npos,
                     "invalid-version message is not one line");
    }
    if (text.size() <= kOracleLimit) {
        bool grammatical = std::regex_match(text, semver_grammar());
        if (grammatical && !parsed) {
            // Numbers past 64 bits are the one grammatical input the parser may refuse.
            fuzz::expect(error.find("out of range") != std::string::npos,
                         "a grammatical version was refused: " + text);
        }
        fuzz::expect(grammatical || !parsed, "an ungrammatical version was accepted: " + text);
    }
    if (parsed) {
        records::SemVer without_build = *parsed;
        without_build.build.clear();
        fuzz::expect(records::compare(*parsed, without_build) == 0,
                     "build metadata changes precedence");
        fuzz::expect(records::compare(*parsed, *parsed) == 0, "a version differs from itself");
    }
    return parsed;
}

void check_package(const std::vector<std::string>& lines,
                   const std::vector<std::optional<records::SemVer>>& parsed) {
    records::VorpanePackage package;
    package.key = "pkg";
    if (!lines[0].empty()) {
        package.installed_version = lines[0];
    }
    package.available_versions.assign(lines.begin() + 1, lines.end());

    // Neither may throw, whatever the strings hold.
    std::optional<std::string> newest = package.max_version();
    bool update = package.needs_update();

    if (newest) {
        bool held = std::find(package.available_versions.begin(), package.available_versions.end(),
                              *newest) != package.available_versions.end() ||
                    (package.installed_version && *newest == *package.installed_version);
        fuzz::expect(held, "max_version returned a string the package does not hold");
    }
    bool all_valid = std::all_of(parsed.begin() + (package.installed_version ? 0 : 1), parsed.end(),
                                 [](const auto& p) { return p.has_value(); });
    if (!all_valid || (package.available_versions.empty() && !package.installed_version)) {
        if (!newest) {
            fuzz::expect(!update, "needs_update without a maximum");
        }
        return;
    }
    fuzz::expect(newest.has_value(), "no maximum of valid versions");
    auto top = records::SemVer::parse(*newest);
    for (std::size_t i = package.installed_version ? 0 : 1; i < parsed.size(); ++i) {
        fuzz::expect(records::compare(top, *parsed[i]) >= 0, "max_version is not the maximum");
    }
    bool expected = !package.installed_version || records::compare(top, *parsed[0]) > 0;
    fuzz::expect(update == expected, "needs_update disagrees with precedence");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> lines =
        fuzz::split(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
    if (lines.size() > 16) {
        return 0;
    }
    std::vector<std::optional<records::SemVer>> parsed;
    for (const auto& line : lines) {
        parsed.push_back(parse_checked(line));
    }
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        for (std::size_t j = 0; j < parsed.size(); ++j) {
            if (!parsed[i] || !parsed[j]) {
                continue;
            }
            int ij = records::compare(*parsed[i], *parsed[j]);
            fuzz::expect(sign(ij) == -sign(records::compare(*parsed[j], *parsed[i])),
                         "precedence is not antisymmetric");
            fuzz::expect(records::compare_versions(lines[i], lines[j]) == ij,
                         "compare_versions disagrees with compare");
            const std::string& top = records::max_of(lines[i], lines[j]);
            fuzz::expect(&top == (ij >= 0 ? &lines[i] : &lines[j]), "max_of picked the wrong one");
            for (std::size_t k = 0; k < parsed.size(); ++k) {
                if (parsed[k] && ij <= 0 && records::compare(*parsed[j], *parsed[k]) <= 0) {
                    fuzz::expect(records::compare(*parsed[i], *parsed[k]) <= 0,
                                 "precedence is not transitive");
                }
            }
        }
    }
    check_package(lines, parsed);
    return 0;
}

#include "vorpane/records/semver.hpp"

#include <algorithm>
#include <charconv>

namespace vorpane::records {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_identifier_char(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

bool all_digits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), is_digit);
}

[[noreturn]] void invalid(std::string_view text, std::string_view reason) {
    throw InvalidVersion("invalid version '" + std::string(text) + "': " + std::string(reason));
}

// A numeric identifier: "0" or digits without a leading zero, fitting in 64 bits.
std::uint64_t parse_number(std::string_view part, std::string_view text) {
    if (part.empty() || !all_digits(part)) {
        invalid(text, "expected a number");
    }
    if (part.size() > 1 && part.front() == '0') {
        invalid(text, "leading zero in a number");
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc() || end != part.data() + part.size()) {
        invalid(text, "number out of range");
    }
    return value;
}

std::vector<std::string_view> split_dots(std::string_view part) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = part.find('.', start);
        if (dot == std::string_view::npos) {
            pieces.push_back(part.substr(start));
            return pieces;
        }
        pieces.push_back(part.substr(start, dot - start));
        start = dot + 1;
    }
}

void check_identifiers(const std::vector<std::string_view>& ids, std::string_view text) {
    for (auto id : ids) {
        if (id.empty()) {
            invalid(text, "empty identifier");
        }
        if (!std::all_of(id.begin(), id.end(), is_identifier_char)) {
            invalid(text, "identifiers may hold only [0-9A-Za-z-]");
        }
    }
}

} // namespace

SemVer SemVer::parse(std::string_view text) {
    SemVer version;
    std::string_view rest = text;

    // Build metadata starts at the first '+'; a '-' inside it belongs to the metadata.
    if (auto plus = rest.find('+'); plus != std::string_view::npos) {
        std::string_view build = rest.substr(plus + 1);
        check_identifiers(split_dots(build), text);
        version.build = std::string(build);
        rest = rest.substr(0, plus);
    }
    // The core holds only digits and dots, so the first '-' starts the pre-release.
    std::string_view core = rest;
    if (auto dash = rest.find('-'); dash != std::string_view::npos) {
        core = rest.substr(0, dash);
        auto ids = split_dots(rest.substr(dash + 1));
        check_identifiers(ids, text);
        for (auto id : ids) {
            if (all_digits(id)) {
                version.prerelease.emplace_back(parse_number(id, text));
            } else {
                version.prerelease.emplace_back(std::string(id));
            }
        }
    }
    auto numbers = split_dots(core);
    if (numbers.size() != 3) {
        invalid(text, "expected MAJOR.MINOR.PATCH");
    }
    version.major = parse_number(numbers[0], text);
    version.minor = parse_number(numbers[1], text);
    version.patch = parse_number(numbers[2], text);
    return version;
}

int compare(const SemVer& a, const SemVer& b) {
    auto three_way = [](auto x, auto y) { return x < y ? -1 : (x > y ? 1 : 0); };
    if (int c = three_way(a.major, b.major); c != 0) {
        return c;
    }
    if (int c = three_way(a.minor, b.minor); c != 0) {
        return c;
    }
    if (int c = three_way(a.patch, b.patch); c != 0) {
        return c;
    }
    // A release ranks above any of its pre-releases.
    if (a.prerelease.empty() != b.prerelease.empty()) {
        return a.prerelease.empty() ? 1 : -1;
    }
    std::size_t common = std::min(a.prerelease.size(), b.prerelease.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto& x = a.prerelease[i];
        const auto& y = b.prerelease[i];
        if (x.index() != y.index()) {
            // Numeric identifiers rank below alphanumeric ones.
            return x.index() == 0 ? -1 : 1;
        }
        int c = x.index() == 0 ? three_way(std::get<0>(x), std::get<0>(y))
                               : three_way(std::get<1>(x).compare(std::get<1>(y)), 0);
        if (c != 0) {
            return c;
        }
    }
    return three_way(a.prerelease.size(), b.prerelease.size());
}

int compare_versions(std::string_view a, std::string_view b) {
    return compare(SemVer::parse(a), SemVer::parse(b));
}

const std::string& max_of(const std::string& first, const std::string& second) {
    return compare_versions(first, second) >= 0 ? first : second;
}

} // namespace vorpane::records

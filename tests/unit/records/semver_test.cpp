#include "vorpane/records/records.hpp"
#include "vorpane/records/semver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::records {
namespace {

TEST(SemVer, PrecedenceFollowsTheStandardsOwnChain) {
    // Each entry ranks strictly below every later one.
    std::vector<std::string> chain;
    std::istringstream words("0.0.9 0.9.0 1.0.0-0 1.0.0-2 1.0.0-10 1.0.0-alpha 1.0.0-alpha.1 "
                             "1.0.0-alpha.beta 1.0.0-beta 1.0.0-beta.2 1.0.0-beta.11 1.0.0-rc.1 "
                             "1.0.0 1.0.1 1.2.0 2.0.0 18446744073709551615.0.0");
    for (std::string word; words >> word;) {
        chain.push_back(word);
    }
    for (size_t i = 0; i < chain.size(); ++i) {
        for (size_t j = 0; j < chain.size(); ++j) {
            const int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(compare_versions(chain[i], chain[j]), expected)
                << chain[i] << " " << chain[j];
        }
    }
    EXPECT_EQ(max_of(chain[3], chain[4]), chain[4]);
    EXPECT_EQ(max_of(chain[4], chain[3]), chain[4]);
}

TEST(SemVer, BuildMetadataIsKeptButDoesNotRank) {
    const SemVer v = SemVer::parse("1.2.3-rc.1+build-7.x--y");
    EXPECT_EQ(v.build, "build-7.x--y");
    ASSERT_EQ(v.prerelease.size(), 2U);
    EXPECT_EQ(std::get<std::string>(v.prerelease[0]), "rc");
    EXPECT_EQ(std::get<std::uint64_t>(v.prerelease[1]), 1U);
    EXPECT_EQ(compare_versions("1.2.3+a", "1.2.3+b"), 0);
    // Ties go to the first.
    const std::string a = "1.2.3+a";
    const std::string b = "1.2.3+b";
    EXPECT_EQ(&max_of(a, b), &a);
}

TEST(SemVer, InvalidVersionsAreRefusedWithTheReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1.2", "expected MAJOR.MINOR.PATCH"},
        {"1.2.3.4", "expected MAJOR.MINOR.PATCH"},
        {"", "expected MAJOR.MINOR.PATCH"},
        {"1..3", "expected a number"},
        {"v1.2.3", "expected a number"},
        {"1.2.3 ", "expected a number"},
        {"01.2.3", "leading zero in a number"},
        {"1.2.3-01", "leading zero in a number"},
        {"1.2.3-", "empty identifier"},
        {"1.2.3-a..b", "empty identifier"},
        {"1.2.3+", "empty identifier"},
        {"1.2.3-a_b", "identifiers may hold only [0-9A-Za-z-]"},
        {"1.2.3+b+c", "identifiers may hold only [0-9A-Za-z-]"},
        {"18446744073709551616.0.0", "number out of range"},
        {"1.0.0-99999999999999999999", "number out of range"},
    };
    for (const auto& [text, reason] : cases) {
        EXPECT_EQ(test::what_of<InvalidVersion>([&] { SemVer::parse(text); }),
                  "invalid version '" + text + "': " + reason);
    }
    EXPECT_THROW(compare_versions("1.0.0", "x"), InvalidVersion);
}

TEST(PackageVersions, TheMaximumIsAHeldStringAndInvalidVersionsNeverEscape) {
    struct Case {
        std::vector<std::string> available;
        std::optional<std::string> installed, newest;
        bool update;
    };
    const std::optional<std::string> none;
    for (const Case& c : {
             Case{{"abc"}, none, "abc", true},
             Case{{"abc"}, "1.0.0", none, false},
             Case{{"1.0.0", "2.0.0-rc.1", "1.5.0"}, none, "2.0.0-rc.1", true},
             Case{{"1.0.0+a", "1.0.0+b"}, "1.0.0+c", "1.0.0+b", false},
             Case{{"1.0.0"}, "2.0.0", "2.0.0", false},
             Case{{"2.0.0-rc.1"}, "2.0.0", "2.0.0", false},
             Case{{"1.1.0", "1.2"}, "1.0.0", none, false},
             Case{{"1.0.0", "1.10.0", "1.9.0"}, "1.2.0", "1.10.0", true},
         }) {
        const VorpanePackage p{"pkg", c.installed, c.available};
        EXPECT_EQ(p.max_version(), c.newest) << testing::PrintToString(c.available);
        EXPECT_EQ(p.needs_update(), c.update) << testing::PrintToString(c.available);
    }
}

} // namespace
} // namespace vorpane::records

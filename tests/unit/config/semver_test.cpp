#include "vorpane/config/semver.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorpane::config {
namespace {

TEST(SemVerParse, SplitsCorePreReleaseAndBuild) {
    SemVer v = SemVer::parse("1.22.333-alpha.7.x-y+build.005");
    EXPECT_EQ(std::vector<std::uint64_t>({v.major, v.minor, v.patch}),
              std::vector<std::uint64_t>({1, 22, 333}));
    ASSERT_EQ(v.prerelease.size(), 3U);
    EXPECT_EQ(std::get<std::string>(v.prerelease[0]), "alpha");
    EXPECT_EQ(std::get<std::uint64_t>(v.prerelease[1]), 7U);
    EXPECT_EQ(std::get<std::string>(v.prerelease[2]), "x-y");
    EXPECT_EQ(v.build, "build.005");
    // A dash inside build metadata does not start a pre-release.
    EXPECT_TRUE(SemVer::parse("1.0.0+a-b").prerelease.empty());
}

TEST(SemVerParse, AcceptsTheEdgesOfTheGrammarAndRejectsEverythingElse) {
    for (const char* text : {"0.0.0", "18446744073709551615.0.0", "1.0.0-0", "1.0.0-0a",
                             "1.0.0-00a", "1.0.0--", "1.0.0-x-y-z.--", "1.0.0+001",
                             "1.0.0-alpha+beta-1.-", "1.0.0+21AF26D3----117B344092BD"}) {
        EXPECT_NO_THROW(SemVer::parse(text)) << text;
    }
    for (const char* text : {"",
                             "1",
                             "1.0",
                             "1.0.0.0",
                             "01.0.0",
                             "1.01.0",
                             "1.0.01",
                             "1.0.0-",
                             "1.0.0-01",
                             "1.0.0-alpha.01",
                             "1.0.0+",
                             "1.0.0-+b",
                             "1.0.0+a+b",
                             "v1.0.0",
                             " 1.0.0",
                             "1.0.0 ",
                             "1..0",
                             "1.0.0-alpha..1",
                             "1.0.0+a..b",
                             "1.0.0-al_pha",
                             "1.0.0-\xC3\xA9",
                             "-1.0.0",
                             "1.-1.0",
                             "1.0.x",
                             "18446744073709551616.0.0",
                             "1.0.0-18446744073709551616",
                             "1.0.0-.a",
                             "1.0.0-a."}) {
        EXPECT_THROW(SemVer::parse(text), InvalidVersion) << '"' << text << '"';
    }
    try {
        SemVer::parse("1.2");
        FAIL() << "no exception";
    } catch (const InvalidVersion& e) {
        EXPECT_NE(std::string(e.what()).find("'1.2'"), std::string::npos) << e.what();
    }
}

TEST(SemVerPrecedence, FollowsTheStandardOrderingExample) {
    const std::vector<std::string> ordered = {"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta",
                                              "1.0.0-beta",  "1.0.0-beta.2",  "1.0.0-beta.11",
                                              "1.0.0-rc.1",  "1.0.0"};
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        EXPECT_EQ(compare_versions(ordered[i], ordered[i]), 0) << ordered[i];
        for (std::size_t j = i + 1; j < ordered.size(); ++j) {
            EXPECT_LT(compare_versions(ordered[i], ordered[j]), 0) << ordered[i] << ordered[j];
            EXPECT_GT(compare_versions(ordered[j], ordered[i]), 0) << ordered[j] << ordered[i];
        }
    }
}

TEST(SemVerPrecedence, PairsInAscendingOrder) {
    // Numbers compare numerically, numeric identifiers rank below alphanumeric ones, and
    // alphanumeric identifiers compare in ASCII order (upper case first).
    const std::vector<std::pair<const char*, const char*>> ascending = {
        {"1.9.0", "1.10.0"},
        {"1.99.99", "2.0.0"},
        {"1.0.9", "1.0.10"},
        {"1.0.0-2", "1.0.0-10"},
        {"1.0.0-999", "1.0.0-a"},
        {"1.0.0-1", "1.0.0-0a"},
        {"1.0.0-Z", "1.0.0-a"},
        {"1.0.0-a-b", "1.0.0-ab"},
        {"1.0.0-rc.1+zzz", "1.0.0+aaa"},
        {"18446744073709551614.9.9", "18446744073709551615.0.0"}};
    for (const auto& [low, high] : ascending) {
        EXPECT_LT(compare_versions(low, high), 0) << low << " < " << high;
        EXPECT_GT(compare_versions(high, low), 0) << high << " > " << low;
    }
    EXPECT_EQ(compare_versions("1.0.0+a", "1.0.0+b"), 0);
    EXPECT_EQ(compare_versions("1.0.0-rc.1+x", "1.0.0-rc.1"), 0);
    EXPECT_THROW(compare_versions("1.0.0", "1.0"), InvalidVersion);
    EXPECT_THROW(compare_versions("abc", "1.0.0"), InvalidVersion);
}

TEST(SemVerMaxOf, ReturnsTheHigherAndTiesGoToTheFirst) {
    const std::string first = "1.0.0+a";
    const std::string second = "1.0.0+b";
    EXPECT_EQ(&max_of(first, second), &first);
    EXPECT_EQ(&max_of(second, first), &second);
    const std::string low = "1.0.0-rc.1";
    const std::string high = "1.0.0";
    EXPECT_EQ(&max_of(low, high), &high);
    EXPECT_EQ(&max_of(high, low), &high);
    EXPECT_THROW(max_of(low, std::string("1.2")), InvalidVersion);
}

} // namespace
} // namespace vorpane::config

#include "vorpane/config/records.hpp"
#include "vorpane/core/errors.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vorpane::config {
namespace {

using nlohmann::json;
using ::testing::UnorderedElementsAreArray;

// The failures a validation reports, or an empty list when it succeeds.
std::vector<std::string> errors_of(const std::function<void()>& validate) {
    try {
        validate();
    } catch (const core::ValidationError& e) {
        return e.errors();
    }
    return {};
}

json profile_json() {
    return {{"token_id", "id-1"}, {"token", "secret-1"}, {"cloud_environment", "dev.cloud"}};
}

TEST(RecordsValidation, ListsEveryFailingFieldWithItsPath) {
    json bad_env = profile_json();
    bad_env["cloud_environment"] = "dev";
    const json bad_entitlement = {
        {"name", 1}, {"packages", {"foo", 2, nullptr}}, {"required_entitlements", "x"}};
    const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> cases = {
        {[] { VorpaneProfile::from_json(json::object(), "profile."); },
         {"profile.token_id: field required", "profile.token: field required"}},
        {[] {
             VorpaneProfile::from_json(
                 {{"token_id", 12}, {"token", true}, {"cloud_environment", nullptr}}, "profile");
         },
         {"profile.token_id: not a valid string", "profile.token: not a valid string",
          "profile.cloud_environment: not a valid string"}},
        {[] { VorpaneProfile::from_json(json("text"), "profile"); },
         {"profile: not a valid object"}},
        {[] { VorpaneConfig::from_json(json::object()); }, {"profile: field required"}},
        {[] {
             VorpaneConfig::from_json({{"profile", {{"token", "s"}, {"cloud_environment", "dev"}}},
                                       {"options", {{"advanced_mode", "sometimes"}}}});
         },
         {"profile.token_id: field required",
          "profile.cloud_environment: must be one of 'cloud', 'dev.cloud'",
          "options.advanced_mode: not a valid boolean"}},
        {[] {
             VorpaneConfig::from_json({{"profile", "x"}, {"options", json::array()}});
         },
         {"profile: not a valid object", "options: not a valid object"}},
        {[] { VorpaneConfig::from_json(json::array()); }, {"(root): not a valid object"}},
        {[&] { VorpaneEntitlement::from_json(bad_entitlement, "entitlements.0"); },
         {"entitlements.0.name: not a valid string", "entitlements.0.code: field required",
          "entitlements.0.packages.1: not a valid string",
          "entitlements.0.packages.2: not a valid string",
          "entitlements.0.required_entitlements: not a valid list"}},
        {[] {
             VorpanePackage::from_json({{"key", "numpy"}, {"available_versions", json::array()}});
         },
         {"installed_version: field required"}},
        {[] {
             VorpanePackage::from_json(
                 {{"key", "numpy"}, {"installed_version", 1}, {"available_versions", 7}});
         },
         {"installed_version: not a valid string", "available_versions: not a valid list"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_THAT(errors_of(cases[i].first), UnorderedElementsAreArray(cases[i].second))
            << "case " << i;
    }
}

TEST(RecordsValidation, CloudEnvironmentTakesOnlyTheTwoExactNames) {
    for (const char* bad : {"Cloud", "dev", "DEV.CLOUD", "prod", "", " cloud"}) {
        json value = profile_json();
        value["cloud_environment"] = bad;
        EXPECT_EQ(errors_of([&] { VorpaneProfile::from_json(value, "profile"); }),
                  std::vector<std::string>{
                      "profile.cloud_environment: must be one of 'cloud', 'dev.cloud'"})
            << bad;
    }
    EXPECT_EQ(VorpaneProfile::from_json({{"token_id", "a"}, {"token", "b"}}).cloud_environment,
              "cloud");
}

TEST(RecordsValidation, AdvancedModeConversions) {
    const std::vector<std::pair<json, bool>> accepted = {
        {true, true},   {false, false}, {1, true},        {0, false},    {1.0, true},
        {"true", true}, {"TRUE", true}, {"yes", true},    {"On", true},  {"t", true},
        {"Y", true},    {"1", true},    {"false", false}, {"No", false}, {"OFF", false},
        {"f", false},   {"n", false},   {"0", false}};
    for (const auto& [value, expected] : accepted) {
        EXPECT_EQ(VorpaneOptions::from_json({{"advanced_mode", value}}).advanced_mode, expected)
            << value.dump();
    }
    for (const json& value : {json(2), json(-1), json(0.5), json("maybe"), json(""), json(" yes"),
                              json(nullptr), json::array({true}), json(18446744073709551615ULL)}) {
        EXPECT_EQ(errors_of([&] {
                      VorpaneOptions::from_json({{"advanced_mode", value}}, "o");
                  }),
                  std::vector<std::string>{"o.advanced_mode: not a valid boolean"})
            << value.dump();
    }
    EXPECT_FALSE(VorpaneOptions::from_json(json::object()).advanced_mode);
}

TEST(RecordsValidation, UnknownTablesAndKeysAreDropped) {
    json value = {{"profile", profile_json()},
                  {"options", {{"advanced_mode", true}, {"colour", "red"}}},
                  {"extra", {{"k", 1}}}};
    value["profile"]["nested"] = {{"a", 1}};
    EXPECT_EQ(
        VorpaneConfig::from_json(value).to_json().dump(),
        R"({"profile":{"token_id":"id-1","token":"secret-1","cloud_environment":"dev.cloud"},)"
        R"("options":{"advanced_mode":true}})");
    const json entitlement = {{"name", "Foo Bar"},
                              {"code", "foo-bar-app"},
                              {"packages", {"foo", "bar"}},
                              {"required_entitlements", json::array()}};
    json with_extra = entitlement;
    with_extra["ignored"] = 3;
    EXPECT_EQ(VorpaneEntitlement::from_json(with_extra).to_json(), entitlement);
    VorpanePackage p = VorpanePackage::from_json(
        {{"key", "numpy"}, {"installed_version", nullptr}, {"available_versions", {"1.0.0"}}});
    EXPECT_FALSE(p.installed_version.has_value());
    EXPECT_TRUE(p.to_json()["installed_version"].is_null());
}

TEST(RecordsNames, OnlyDistributionNamesPassAsKeysAndCodes) {
    // Names the service might send: each either passes both checks (as key and after "ENT_")
    // or fails both.
    const std::vector<std::pair<std::string, bool>> cases = {
        {"zel-foo-core", true},
        {"ZEL_FOO_APP", true},
        {"a", true},
        {"A.b_c-9", true},
        {"", false},
        {"--python=/tmp/x", false},
        {"-rfile", false},
        {"/etc/passwd", false},
        {"../../escaped-examples", false},
        {"..", false},
        {".hidden", false},
        {"trailing-", false},
        {"a/b", false},
        {"a\\b", false},
        {"a b", false},
        {"a\x1b[31mb", false},
        {"a\nb", false},
        {std::string("a\0b", 3), false},
        {"caf\xc3\xa9", false},
    };
    for (const auto& [name, valid] : cases) {
        EXPECT_EQ(is_valid_package_key(name), valid) << name;
        EXPECT_EQ(is_valid_entitlement_code("ENT_" + name), valid) << name;
    }
    for (const char* code : {"ENT_", "ent_foo", "FOO", "ENT__FOO", "ENT_../../ESCAPED", " ENT_A"}) {
        EXPECT_FALSE(is_valid_entitlement_code(code)) << code;
    }
}

struct VersionCase {
    std::vector<std::string> available;
    std::optional<std::string> installed;
    std::optional<std::string> max;
    bool needs_update;
};

TEST(RecordsPackageVersions, MaxVersionAndNeedsUpdate) {
    const std::vector<VersionCase> cases = {
        {{}, std::nullopt, std::nullopt, false},
        {{}, "1.0.0", "1.0.0", false},
        // Not parsed on this path, so returned unchanged.
        {{}, "not-a-version", "not-a-version", false},
        {{"abc"}, std::nullopt, "abc", true},
        {{"abc"}, "1.0.0", std::nullopt, false},
        {{"1.0.0", "2.0.0-rc.1", "1.5.0"}, std::nullopt, "2.0.0-rc.1", true},
        {{"1.0.0", "2.0.0-rc.1", "1.5.0"}, "2.0.0-rc.1", "2.0.0-rc.1", false},
        {{"1.0.0", "2.0.0-rc.1", "1.5.0"}, "2.0.0-beta", "2.0.0-rc.1", true},
        // Ties go to the later available version, then to the available one.
        {{"1.0.0+a", "1.0.0+b", "1.0.0+c"}, std::nullopt, "1.0.0+c", true},
        {{"1.0.0+a", "1.0.0+b"}, "1.0.0+c", "1.0.0+b", false},
        {{"1.0.0"}, "2.0.0", "2.0.0", false},
        {{"2.0.0-rc.1"}, "2.0.0", "2.0.0", false},
        {{"1.2.0", "1.10.0", "1.9.0"}, "1.9.0", "1.10.0", true},
        // Any invalid version among several gives no maximum.
        {{"1.1.0", "1.2"}, std::nullopt, std::nullopt, false},
        {{"1.1.0", "1.2"}, "1.0.0", std::nullopt, false},
        {{"1.1.0", "1.2"}, "junk", std::nullopt, false},
        {{"1.1.0", "1.2.0"}, "junk", std::nullopt, false},
    };
    for (const auto& c : cases) {
        VorpanePackage p{"pkg", c.installed, c.available};
        const std::string label =
            ::testing::PrintToString(c.available) + " installed " + c.installed.value_or("<none>");
        EXPECT_EQ(p.max_version(), c.max) << label;
        EXPECT_EQ(p.needs_update(), c.needs_update) << label;
    }
}

} // namespace
} // namespace vorpane::config

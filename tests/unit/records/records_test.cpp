#include "vorpane/core/errors.hpp"
#include "vorpane/records/records.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace vorpane::records {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
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

TEST(RecordsValidation, ListsEveryFailingFieldWithItsPath) {
    const json bad_entitlement = {
        {"name", 1}, {"packages", {"foo", 2, nullptr}}, {"required_entitlements", "x"}};
    const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> cases = {
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
        {[&] { VorpaneEntitlement::from_json(bad_entitlement, "entitlements.0"); },
         {"entitlements.0.name: not a valid string", "entitlements.0.code: field required",
          "entitlements.0.packages.1: not a valid string",
          "entitlements.0.packages.2: not a valid string",
          "entitlements.0.required_entitlements: not a valid list"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_THAT(errors_of(cases[i].first), UnorderedElementsAreArray(cases[i].second))
            << "case " << i;
    }
    // The environment takes only the two exact names.
    for (const char* bad : {"Cloud", "DEV.CLOUD", "", " cloud"}) {
        json value = {{"token_id", "i"}, {"token", "s"}, {"cloud_environment", bad}};
        EXPECT_THAT(errors_of([&] { VorpaneProfile::from_json(value, "profile"); }),
                    ElementsAre("profile.cloud_environment: must be one of 'cloud', 'dev.cloud'"))
            << bad;
    }
    EXPECT_EQ(VorpaneProfile::from_json({{"token_id", "a"}, {"token", "b"}}).cloud_environment,
              "cloud");
}

TEST(RecordsValidation, AdvancedModeConversions) {
    const std::vector<std::pair<json, bool>> accepted = {
        {true, true}, {0, false}, {"On", true}, {"f", false}};
    for (const auto& [value, expected] : accepted) {
        EXPECT_EQ(VorpaneOptions::from_json({{"advanced_mode", value}}).advanced_mode, expected)
            << value.dump();
    }
    for (const json& value : {json(2), json("maybe"), json(" yes")}) {
        EXPECT_EQ(errors_of([&] {
                      VorpaneOptions::from_json({{"advanced_mode", value}}, "o");
                  }),
                  std::vector<std::string>{"o.advanced_mode: not a valid boolean"})
            << value.dump();
    }
}

TEST(RecordsNames, OnlyDistributionNamesPassAsKeysAndCodes) {
    // Names the service might send: each either passes both checks (as key and after "ENT_")
    // or fails both.
    for (const std::string& name : std::vector<std::string>{
             "zel-foo-core", "ZEL_FOO_APP", "a", "A.b_c-9", std::string(MAX_NAME_BYTES, 'x')}) {
        EXPECT_TRUE(is_valid_package_key(name)) << name;
        EXPECT_TRUE(is_valid_entitlement_code(std::string("ENT_") + name)) << name;
    }
    for (const std::string& name :
         {std::string(), std::string("--python=/tmp/x"), std::string("-rfile"),
          std::string("/etc/passwd"), std::string("../../escaped-examples"), std::string(".."),
          std::string(".hidden"), std::string("trailing-"), std::string("a/b"), std::string("a\\b"),
          std::string("a b"), std::string("a\x1b[31mb"), std::string("a\nb"),
          std::string("a\0b", 3), std::string("caf\xc3\xa9"),
          std::string(MAX_NAME_BYTES + 1, 'x')}) {
        EXPECT_FALSE(is_valid_package_key(name)) << name;
        EXPECT_FALSE(is_valid_entitlement_code("ENT_" + name)) << name;
    }
    for (const char* code : {"ENT_", "ent_foo", "FOO", "ENT__FOO", "ENT_../../ESCAPED", " ENT_A"}) {
        EXPECT_FALSE(is_valid_entitlement_code(code)) << code;
    }
}

TEST(RecordsPackageVersions, WithoutAvailableVersionsTheInstalledOneIsCurrent) {
    // Listings never ask for available versions, so even an unparsable installed one stands.
    for (const char* installed : {"1.0.0", "2024.0.1.post1", "junk"}) {
        const VorpanePackage p{"pkg", installed, {}};
        EXPECT_EQ(p.max_version(), installed);
        EXPECT_FALSE(p.needs_update()) << installed;
    }
}

} // namespace
} // namespace vorpane::records

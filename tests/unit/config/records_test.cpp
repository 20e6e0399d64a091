#include "vorpane/cli/exceptions.hpp"
#include "vorpane/config/records.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorpane::config {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// The failures a validation reports, or an empty list when it succeeds.
template <class Fn> std::vector<std::string> errors_of(Fn fn) {
    try {
        fn();
    } catch (const ValidationError& e) {
        return e.errors();
    }
    return {};
}

json profile_json() {
    return {{"token_id", "id-1"}, {"token", "secret-1"}, {"cloud_environment", "dev.cloud"}};
}

TEST(RecordsProfile, ReadsAllFields) {
    VorpaneProfile p = VorpaneProfile::from_json(profile_json());
    EXPECT_EQ(p.token_id, "id-1");
    EXPECT_EQ(p.token, "secret-1");
    EXPECT_EQ(p.cloud_environment, "dev.cloud");
}

TEST(RecordsProfile, CloudEnvironmentDefaultsToCloud) {
    VorpaneProfile p = VorpaneProfile::from_json({{"token_id", "a"}, {"token", "b"}});
    EXPECT_EQ(p.cloud_environment, "cloud");
}

TEST(RecordsProfile, CloudEnvironmentOnlyExactMembers) {
    for (const char* bad : {"Cloud", "dev", "DEV.CLOUD", "prod", "", " cloud"}) {
        json value = profile_json();
        value["cloud_environment"] = bad;
        EXPECT_THAT(errors_of([&] { VorpaneProfile::from_json(value, "profile"); }),
                    ElementsAre("profile.cloud_environment: must be one of 'cloud', 'dev.cloud'"))
            << bad;
    }
    EXPECT_TRUE(is_cloud_env("cloud"));
    EXPECT_TRUE(is_cloud_env("dev.cloud"));
    EXPECT_FALSE(is_cloud_env("Cloud"));
}

TEST(RecordsProfile, ListsEveryFailingField) {
    EXPECT_THAT(errors_of([] { VorpaneProfile::from_json(json::object(), "profile."); }),
                ElementsAre("profile.token_id: field required", "profile.token: field required"));
    json value = {{"token_id", 12}, {"token", true}, {"cloud_environment", nullptr}};
    EXPECT_THAT(errors_of([&] { VorpaneProfile::from_json(value, "profile"); }),
                UnorderedElementsAre("profile.token_id: not a valid string",
                                     "profile.token: not a valid string",
                                     "profile.cloud_environment: not a valid string"));
}

TEST(RecordsProfile, DropsUnknownKeys) {
    json value = profile_json();
    value["extra"] = "x";
    value["nested"] = {{"a", 1}};
    json expected = profile_json();
    EXPECT_EQ(VorpaneProfile::from_json(value).to_json(), expected);
}

TEST(RecordsProfile, RejectsNonObject) {
    EXPECT_THAT(errors_of([] { VorpaneProfile::from_json(json("text"), "profile"); }),
                ElementsAre("profile: not a valid object"));
}

TEST(RecordsOptions, AdvancedModeConversions) {
    const std::vector<std::pair<json, bool>> accepted = {
        {true, true},   {false, false}, {1, true},        {0, false},    {1.0, true},
        {"true", true}, {"TRUE", true}, {"yes", true},    {"On", true},  {"t", true},
        {"Y", true},    {"1", true},    {"false", false}, {"No", false}, {"OFF", false},
        {"f", false},   {"n", false},   {"0", false}};
    for (const auto& [value, expected] : accepted) {
        auto options = VorpaneOptions::from_json({{"advanced_mode", value}});
        EXPECT_EQ(options.advanced_mode, expected) << value.dump();
    }
}

TEST(RecordsOptions, AdvancedModeRejectsOtherValues) {
    for (const json& value : {json(2), json(-1), json(0.5), json("maybe"), json(""), json(" yes"),
                              json(nullptr), json::array({true}), json(18446744073709551615ULL)}) {
        EXPECT_THAT(errors_of([&] {
                        VorpaneOptions::from_json({{"advanced_mode", value}}, "options");
                    }),
                    ElementsAre("options.advanced_mode: not a valid boolean"))
            << value.dump();
    }
}

TEST(RecordsOptions, DefaultsToFalse) {
    EXPECT_FALSE(VorpaneOptions::from_json(json::object()).advanced_mode);
}

TEST(RecordsConfig, EmptyMappingFailsOnProfile) {
    EXPECT_THAT(errors_of([] { VorpaneConfig::from_json(json::object()); }),
                ElementsAre("profile: field required"));
}

TEST(RecordsConfig, ProfileAloneGetsDefaultOptions) {
    VorpaneConfig c = VorpaneConfig::from_json({{"profile", profile_json()}});
    EXPECT_EQ(c.profile.token, "secret-1");
    EXPECT_FALSE(c.options.advanced_mode);
}

TEST(RecordsConfig, CollectsFailuresOfBothTables) {
    json value = {{"profile", {{"token", "s"}, {"cloud_environment", "dev"}}},
                  {"options", {{"advanced_mode", "sometimes"}}}};
    EXPECT_THAT(
        errors_of([&] { VorpaneConfig::from_json(value); }),
        UnorderedElementsAre("profile.token_id: field required",
                             "profile.cloud_environment: must be one of 'cloud', 'dev.cloud'",
                             "options.advanced_mode: not a valid boolean"));
    EXPECT_THAT(errors_of([] {
                    VorpaneConfig::from_json({{"profile", "x"}, {"options", json::array()}});
                }),
                UnorderedElementsAre("profile: not a valid object", "options: not a valid object"));
    EXPECT_THAT(errors_of([] { VorpaneConfig::from_json(json::array()); }),
                ElementsAre("(root): not a valid object"));
}

TEST(RecordsConfig, UnknownTablesAndKeysAreDropped) {
    json value = {{"profile", profile_json()},
                  {"options", {{"advanced_mode", true}, {"colour", "red"}}},
                  {"extra", {{"k", 1}}}};
    VorpaneConfig c = VorpaneConfig::from_json(value);
    EXPECT_EQ(
        c.to_json().dump(),
        R"({"profile":{"token_id":"id-1","token":"secret-1","cloud_environment":"dev.cloud"},)"
        R"("options":{"advanced_mode":true}})");
}

TEST(RecordsConfig, FreshOptionsPerRecord) {
    VorpaneConfig a = VorpaneConfig::from_json({{"profile", profile_json()}});
    VorpaneConfig b = VorpaneConfig::from_json({{"profile", profile_json()}});
    a.options.advanced_mode = true;
    EXPECT_FALSE(b.options.advanced_mode);
}

TEST(RecordsEntitlement, ReadsAndChecksEveryField) {
    json value = {{"name", "Foo Bar"},
                  {"code", "foo-bar-app"},
                  {"packages", {"foo", "bar"}},
                  {"required_entitlements", json::array()},
                  {"ignored", 3}};
    VorpaneEntitlement e = VorpaneEntitlement::from_json(value);
    EXPECT_EQ(e.name, "Foo Bar");
    EXPECT_EQ(e.code, "foo-bar-app");
    EXPECT_THAT(e.packages, ElementsAre("foo", "bar"));
    EXPECT_TRUE(e.required_entitlements.empty());
    EXPECT_EQ(e.to_json(), json({{"name", "Foo Bar"},
                                 {"code", "foo-bar-app"},
                                 {"packages", {"foo", "bar"}},
                                 {"required_entitlements", json::array()}}));

    json bad = {{"name", 1}, {"packages", {"foo", 2, nullptr}}, {"required_entitlements", "x"}};
    EXPECT_THAT(errors_of([&] { VorpaneEntitlement::from_json(bad, "entitlements.0"); }),
                UnorderedElementsAre("entitlements.0.name: not a valid string",
                                     "entitlements.0.code: field required",
                                     "entitlements.0.packages.1: not a valid string",
                                     "entitlements.0.packages.2: not a valid string",
                                     "entitlements.0.required_entitlements: not a valid list"));
}

TEST(RecordsPackage, InstalledVersionMustBeGivenButMayBeNull) {
    VorpanePackage p = VorpanePackage::from_json(
        {{"key", "numpy"}, {"installed_version", nullptr}, {"available_versions", {"1.0.0"}}});
    EXPECT_FALSE(p.installed_version.has_value());
    EXPECT_TRUE(p.to_json()["installed_version"].is_null());
    EXPECT_THAT(
        errors_of([] {
            VorpanePackage::from_json({{"key", "numpy"}, {"available_versions", json::array()}});
        }),
        ElementsAre("installed_version: field required"));
    EXPECT_THAT(errors_of([] {
                    VorpanePackage::from_json(
                        {{"key", "numpy"}, {"installed_version", 1}, {"available_versions", 7}});
                }),
                UnorderedElementsAre("installed_version: not a valid string",
                                     "available_versions: not a valid list"));
}

VorpanePackage package(std::vector<std::string> available,
                       std::optional<std::string> installed = std::nullopt) {
    return {"pkg", std::move(installed), std::move(available)};
}

TEST(RecordsPackageVersions, NothingAvailable) {
    EXPECT_EQ(package({}).max_version(), std::nullopt);
    EXPECT_FALSE(package({}).needs_update());
    EXPECT_EQ(package({}, "1.0.0").max_version(), "1.0.0");
    EXPECT_FALSE(package({}, "1.0.0").needs_update());
    // Not parsed on this path, so returned unchanged.
    EXPECT_EQ(package({}, "not-a-version").max_version(), "not-a-version");
    EXPECT_FALSE(package({}, "not-a-version").needs_update());
}

TEST(RecordsPackageVersions, SingleInvalidAvailable) {
    EXPECT_EQ(package({"abc"}).max_version(), "abc");
    EXPECT_TRUE(package({"abc"}).needs_update());
    EXPECT_EQ(package({"abc"}, "1.0.0").max_version(), std::nullopt);
    EXPECT_FALSE(package({"abc"}, "1.0.0").needs_update());
}

TEST(RecordsPackageVersions, PreReleaseCanBeTheMaximum) {
    auto p = package({"1.0.0", "2.0.0-rc.1", "1.5.0"});
    EXPECT_EQ(p.max_version(), "2.0.0-rc.1");
    EXPECT_TRUE(p.needs_update());
    p.installed_version = "2.0.0-rc.1";
    EXPECT_FALSE(p.needs_update());
    p.installed_version = "2.0.0-beta";
    EXPECT_TRUE(p.needs_update());
}

TEST(RecordsPackageVersions, TiesGoToTheLaterAvailableThenToAvailable) {
    EXPECT_EQ(package({"1.0.0+a", "1.0.0+b"}).max_version(), "1.0.0+b");
    EXPECT_EQ(package({"1.0.0+a", "1.0.0+b", "1.0.0+c"}).max_version(), "1.0.0+c");
    auto p = package({"1.0.0+a", "1.0.0+b"}, "1.0.0+c");
    EXPECT_EQ(p.max_version(), "1.0.0+b");
    EXPECT_FALSE(p.needs_update());
}

TEST(RecordsPackageVersions, InstalledNewerOrReleased) {
    auto newer = package({"1.0.0"}, "2.0.0");
    EXPECT_EQ(newer.max_version(), "2.0.0");
    EXPECT_FALSE(newer.needs_update());
    auto released = package({"2.0.0-rc.1"}, "2.0.0");
    EXPECT_EQ(released.max_version(), "2.0.0");
    EXPECT_FALSE(released.needs_update());
    auto older = package({"1.2.0", "1.10.0", "1.9.0"}, "1.9.0");
    EXPECT_EQ(older.max_version(), "1.10.0");
    EXPECT_TRUE(older.needs_update());
}

TEST(RecordsPackageVersions, AnyInvalidAvailableGivesNull) {
    for (const auto& installed : {std::optional<std::string>(), std::optional<std::string>("1.0.0"),
                                  std::optional<std::string>("junk")}) {
        auto p = package({"1.1.0", "1.2"}, installed);
        EXPECT_EQ(p.max_version(), std::nullopt);
        EXPECT_FALSE(p.needs_update());
    }
    // An invalid installed version with valid available ones.
    auto p = package({"1.1.0", "1.2.0"}, "junk");
    EXPECT_EQ(p.max_version(), std::nullopt);
    EXPECT_FALSE(p.needs_update());
}

} // namespace
} // namespace vorpane::config

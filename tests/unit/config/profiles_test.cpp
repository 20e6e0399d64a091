#include "vorpane/config/config_file.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

TEST(Profiles, NamesFollowOneRuleForProfilesAndStores) {
    const std::pair<std::string, bool> cases[] = {
        {"work", true},
        {"A.b_c-9", true},
        {std::string(64, 'x'), true},
        {"", false},
        {".hidden", false},
        {"-x", false},
        {"a/b", false},
        {"..", false},
        {std::string(65, 'x'), false},
        {"caf\xc3\xa9", false},
        {"a b", false},
        {"_x", false},
    };
    for (const auto& [name, valid] : cases) {
        EXPECT_EQ(records::is_valid_profile_name(name), valid) << name;
        const nlohmann::json doc = {{"token_id", "i"}, {"credential_store", name}};
        EXPECT_EQ(valid, [&] {
            try {
                return records::VorpaneProfile::from_json(doc).credential_store == name;
            } catch (const core::ValidationError&) {
                return false;
            }
        }()) << name;
    }
    EXPECT_THROW(check_profile_name("profile", "a/b"), core::VorpaneException);
    EXPECT_EQ(profile_dir("/c", std::nullopt), "/c");
    EXPECT_EQ(profile_dir("/c", "w"), "/c/profiles/w");
}

TEST(Profiles, StoredSecretStaysOutOfTheFileAndOldFilesStillRead) {
    records::VorpaneConfig conf;
    conf.profile = {"id", "", "dev.cloud", "secretservice"};
    const std::string text = serialize_config(conf);
    EXPECT_EQ(text.find("token ="), std::string::npos);
    EXPECT_EQ(parse_config(text, "f"), conf);
    EXPECT_EQ(parse_config("[profile]\ntoken_id = \"i\"\ntoken = \"s\"\n", "f").profile.token, "s");
    EXPECT_THROW(parse_config("[profile]\ntoken_id = \"i\"\n", "f"), core::ValidationError);
}

TEST(Profiles, ListingPutsTheDefaultFirstAndReportsBrokenFiles) {
    test::ScopedHome home;
    const auto root = home.config_dir();
    test::write_file(root / "vorpane.toml", "[profile]\ntoken_id = \"d\"\ntoken = \"s\"\n");
    test::write_file(root / "profiles/b/vorpane.toml", "[profile]\ntoken_id = \"b\"\n");
    test::write_file(root / "profiles/a/vorpane.toml", "");
    test::write_file(root / "profiles/bad name/vorpane.toml", "");
    const auto listed = list_profiles(root, "a");
    ASSERT_EQ(listed.size(), 3U);
    EXPECT_EQ(listed[0].config->profile.token_id, "d");
    EXPECT_EQ(listed[1].name, "a");
    EXPECT_TRUE(listed[1].active && !listed[1].config && listed[1].error.empty());
    EXPECT_EQ(listed[2].error, "no valid profile (profile.token: field required)");
}

} // namespace
} // namespace vorpane::config

#include "vorpane/cli/exceptions.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

VorpaneConfig make_config(std::string token_id,
                          std::string token,
                          std::string env = "cloud",
                          bool advanced = false) {
    VorpaneConfig conf;
    conf.profile = {std::move(token_id), std::move(token), std::move(env)};
    conf.options.advanced_mode = advanced;
    return conf;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

fs::perms perms_of(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
}

class ConfigFile : public ::testing::Test {
  protected:
    test::ScopedHome m_home;
    fs::path m_file = m_home.config_dir() / "vorpane.toml";
};

TEST_F(ConfigFile, FirstUseCreatesAnEmptyPrivateFileAndLeavesAnExistingOneAlone) {
    EXPECT_EQ(get_config_file(), m_file);
    EXPECT_EQ(fs::file_size(m_file), 0U);
    EXPECT_EQ(perms_of(m_file), fs::perms(0600));
    try {
        get_configparser();
        FAIL() << "an empty file passed validation";
    } catch (const ValidationError& e) {
        EXPECT_THAT(e.errors(), ElementsAre("profile: field required"));
    }
    test::write_file(m_file, "# mine\n");
    fs::permissions(m_file, fs::perms(0640));
    get_config_file();
    EXPECT_EQ(test::read_file(m_file), "# mine\n");
    EXPECT_EQ(perms_of(m_file), fs::perms(0640));
}

TEST_F(ConfigFile, TomlValuesAreCheckedAfterConversionAndExtrasDropped) {
    test::write_file(m_file,
                     "[profile]\ntoken_id = 42\ntoken = true\n[options]\nadvanced_mode = 1.5\n");
    try {
        get_configparser();
        FAIL() << "no exception";
    } catch (const ValidationError& e) {
        EXPECT_THAT(e.errors(), ElementsAre("profile.token_id: not a valid string",
                                            "profile.token: not a valid string",
                                            "options.advanced_mode: not a valid boolean"));
    }
    // Dates arrive as their text; other keys and tables are read, then dropped on the next write.
    test::write_file(m_file, "# comment\n[profile]\ntoken_id = 1979-05-27\n"
                             "token = 1979-05-27T07:32:00Z\nratio = 0.5\nlist = [1, [true]]\n"
                             "[options]\nadvanced_mode = \"yes\"\ncolour = 3\n"
                             "[extra]\nkey = [1, 2]\n[extra.sub]\nk = 1979-05-27\n");
    const VorpaneConfig conf = get_configparser();
    EXPECT_EQ(conf, make_config("1979-05-27", "1979-05-27T07:32:00Z", "cloud", true));
    write_config_parse_to_file(conf);
    EXPECT_EQ(test::read_file(m_file), serialize_config(conf));
    EXPECT_THAT(test::read_file(m_file), Not(HasSubstr("extra")));
}

TEST_F(ConfigFile, EscapesLikeTomlBasicStringsAndRoundTrips) {
    EXPECT_EQ(serialize_config(make_config("q\"b\\", "\b\t\n\f\r\x01\x1f\x7f\xc3\xa9")),
              "[profile]\ntoken_id = \"q\\\"b\\\\\"\n"
              "token = \"\\b\\t\\n\\f\\r\\u0001\\u001F\\u007F\xc3\xa9\"\n"
              "cloud_environment = \"cloud\"\n\n[options]\nadvanced_mode = false\n");
    for (const std::string secret :
         {"with \"quotes\" and 'single'", "back\\slash\\", "line\nbreak\r\n", "tab\tend",
          "ctl\x01\x02\x1b[0m\x7f", "unicode \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "''' \"\"\" #",
          ""}) {
        const VorpaneConfig conf = make_config("id \"x\"", secret, "dev.cloud", true);
        write_config_parse_to_file(conf);
        EXPECT_EQ(get_configparser(), conf) << secret;
    }
}

TEST_F(ConfigFile, WriteReplacesALooseFileWithAPrivateOneAndFollowsALink) {
    test::write_file(m_file, "");
    fs::permissions(m_file, fs::perms(0644));
    write_config_parse_to_file(make_config("a", "b"));
    EXPECT_EQ(perms_of(m_file), fs::perms(0600));
    EXPECT_EQ(names_in(m_home.config_dir()), std::set<std::string>{"vorpane.toml"});

    const fs::path real = m_home.root() / "dotfiles" / "vorpane.toml";
    test::write_file(real, "");
    fs::remove(m_file);
    fs::create_symlink(real, m_file);
    const VorpaneConfig conf = make_config("linked", "s");
    write_config_parse_to_file(conf);
    EXPECT_TRUE(fs::is_symlink(m_file));
    EXPECT_EQ(test::read_file(real), serialize_config(conf));
    EXPECT_EQ(perms_of(real), fs::perms(0600));
}

TEST_F(ConfigFile, FailedCheckLeavesTheOldFileAndHidesTheSecret) {
    write_config_parse_to_file(make_config("old", "old-secret"));
    const std::string before = test::read_file(m_file);
    try {
        write_config_parse_to_file(make_config("new", "TOPSECRET", "prod"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("profile.cloud_environment"));
        EXPECT_THAT(e.what(), HasSubstr(m_file.string()));
        EXPECT_THAT(e.what(), Not(HasSubstr("TOPSECRET")));
    }
    try {
        write_config_parse_to_file(make_config("new", "TOPSECRET\xff\xfe"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("profile.token is not valid UTF-8"));
        EXPECT_THAT(e.what(), Not(HasSubstr("TOPSECRET")));
    }
    for (const char* invalid : {"\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xe2\x82"}) {
        EXPECT_THROW(write_config_parse_to_file(make_config(invalid, "s")), std::runtime_error);
    }
    EXPECT_EQ(test::read_file(m_file), before);
}

TEST_F(ConfigFile, DirectoryInThePlaceOfTheFileFailsReadAndWriteCleanly) {
    fs::create_directories(m_file / "inside");
    test::write_file(m_file / "inside" / "keep.txt", "kept");
    try {
        get_configparser();
        FAIL() << "read a directory";
    } catch (const fs::filesystem_error& e) {
        EXPECT_THAT(e.what(), HasSubstr(m_file.string()));
        EXPECT_EQ(e.code(), std::errc::is_a_directory);
    }
    try {
        write_config_parse_to_file(make_config("a", "SECRET-VALUE"));
        FAIL() << "replaced a directory";
    } catch (const fs::filesystem_error& e) {
        EXPECT_THAT(e.what(), HasSubstr(m_file.string()));
        EXPECT_THAT(e.what(), Not(HasSubstr("SECRET-VALUE")));
    }
    EXPECT_EQ(test::read_file(m_file / "inside" / "keep.txt"), "kept");
    EXPECT_EQ(names_in(m_home.config_dir()), std::set<std::string>{"vorpane.toml"});
}

} // namespace
} // namespace vorpane::config

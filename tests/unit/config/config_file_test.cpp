#include "vorpane/cli/exceptions.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

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

TEST(ConfigFileCreate, FirstCallCreatesEmptyPrivateFile) {
    test::ScopedHome home;
    fs::path file = get_config_file();
    EXPECT_EQ(file, home.config_dir() / "vorpane.toml");
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::file_size(file), 0U);
    EXPECT_EQ(mode_of(file), 0600U);
}

TEST(ConfigFileCreate, ExistingFileIsUntouched) {
    test::ScopedHome home;
    test::write_file(home.config_dir() / "vorpane.toml", "# mine\n");
    fs::permissions(home.config_dir() / "vorpane.toml", fs::perms(0640));
    fs::path file = get_config_file();
    EXPECT_EQ(test::read_file(file), "# mine\n");
    EXPECT_EQ(mode_of(file), 0640U);
}

TEST(ConfigFileRead, FreshHomeFailsValidationOnProfile) {
    test::ScopedHome home;
    try {
        get_configparser();
        FAIL() << "no exception";
    } catch (const ValidationError& e) {
        EXPECT_THAT(e.errors(), ElementsAre("profile: field required"));
    }
    EXPECT_TRUE(fs::exists(home.config_dir() / "vorpane.toml"));
}

TEST(ConfigFileRead, TomlTypesAreCheckedAfterConversion) {
    test::ScopedHome home;
    test::write_file(home.config_dir() / "vorpane.toml",
                     "[profile]\ntoken_id = 42\ntoken = true\n[options]\nadvanced_mode = 1.5\n");
    try {
        get_configparser();
        FAIL() << "no exception";
    } catch (const ValidationError& e) {
        EXPECT_THAT(e.errors(), ElementsAre("profile.token_id: not a valid string",
                                            "profile.token: not a valid string",
                                            "options.advanced_mode: not a valid boolean"));
    }
    test::write_file(home.config_dir() / "vorpane.toml",
                     "[profile]\ntoken_id = 'a'\ntoken = \"b\"\n"
                     "when = 1979-05-27T07:32:00Z\nratio = 0.5\nlist = [1, [true]]\n"
                     "[options]\nadvanced_mode = 1\n");
    EXPECT_EQ(get_configparser(), make_config("a", "b", "cloud", true));
}

TEST(ConfigFileRead, DatesArriveAsTheirText) {
    test::ScopedHome home;
    test::write_file(home.config_dir() / "vorpane.toml",
                     "[profile]\ntoken_id = 1979-05-27\ntoken = 1979-05-27T07:32:00Z\n");
    EXPECT_EQ(get_configparser(), make_config("1979-05-27", "1979-05-27T07:32:00Z"));
}

TEST(ConfigFileRead, InvalidTomlNamesFileLineAndColumn) {
    test::ScopedHome home;
    fs::path file = home.config_dir() / "vorpane.toml";
    test::write_file(file, "[profile]\ntoken_id = \"abc\"\ntoken = oops\n");
    try {
        get_configparser();
        FAIL() << "no exception";
    } catch (const ConfigParseError& e) {
        std::string what = e.what();
        EXPECT_THAT(what, HasSubstr(file.string() + ": invalid TOML at line 3, column "));
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

TEST(ConfigFileRead, UnreadableFileNamesIt) {
    test::ScopedHome home;
    fs::create_directories(home.config_dir() / "vorpane.toml");
    try {
        get_configparser();
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_THAT(e.what(), HasSubstr((home.config_dir() / "vorpane.toml").string()));
        EXPECT_EQ(e.code(), std::errc::is_a_directory);
    }
}

TEST(ConfigFileWrite, ExactBytes) {
    test::ScopedHome home;
    write_config_parse_to_file(make_config("ID", "SECRET"));
    EXPECT_EQ(test::read_file(home.config_dir() / "vorpane.toml"),
              "[profile]\ntoken_id = \"ID\"\ntoken = \"SECRET\"\ncloud_environment = \"cloud\"\n"
              "\n[options]\nadvanced_mode = false\n");
    EXPECT_EQ(mode_of(home.config_dir() / "vorpane.toml"), 0600U);
}

TEST(ConfigFileWrite, EscapesLikeTomlBasicStrings) {
    EXPECT_EQ(serialize_config(make_config("q\"b\\", "\b\t\n\f\r\x01\x1f\x7f\xc3\xa9")),
              "[profile]\ntoken_id = \"q\\\"b\\\\\"\n"
              "token = \"\\b\\t\\n\\f\\r\\u0001\\u001F\\u007F\xc3\xa9\"\n"
              "cloud_environment = \"cloud\"\n\n[options]\nadvanced_mode = false\n");
}

TEST(ConfigFileWrite, RoundTripsDevCloudAndAdvancedMode) {
    test::ScopedHome home;
    VorpaneConfig conf = make_config("id-7", "s3cret", "dev.cloud", true);
    write_config_parse_to_file(conf);
    EXPECT_EQ(get_configparser(), conf);
}

TEST(ConfigFileWrite, RoundTripsSpecialCharactersInTheSecret) {
    test::ScopedHome home;
    const std::string secrets[] = {"with \"quotes\" and 'single'",
                                   "back\\slash\\",
                                   "line\nbreak\r\n",
                                   "tab\tend",
                                   "ctl\x01\x02\x1b[0m\x7f",
                                   "unicode \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                   "''' \"\"\" #",
                                   ""};
    for (const auto& secret : secrets) {
        VorpaneConfig conf = make_config("id \"x\"", secret);
        write_config_parse_to_file(conf);
        EXPECT_EQ(get_configparser(), conf) << secret;
    }
}

TEST(ConfigFileWrite, HandEditedExtrasAreReadThenDropped) {
    test::ScopedHome home;
    fs::path file = home.config_dir() / "vorpane.toml";
    test::write_file(file, "# comment\n[profile]\ntoken_id = \"a\"\ntoken = \"b\"\nnote = \"x\"\n"
                           "[options]\nadvanced_mode = \"yes\"\ncolour = 3\n"
                           "[extra]\nkey = [1, 2]\n[extra.sub]\nk = 1979-05-27\n");
    VorpaneConfig conf = get_configparser();
    EXPECT_EQ(conf, make_config("a", "b", "cloud", true));
    write_config_parse_to_file(conf);
    EXPECT_EQ(test::read_file(file), serialize_config(conf));
    EXPECT_THAT(test::read_file(file), Not(HasSubstr("extra")));
}

TEST(ConfigFileWrite, ReplacesAWorldReadableFileWithAPrivateOne) {
    test::ScopedHome home;
    fs::path file = home.config_dir() / "vorpane.toml";
    test::write_file(file, "");
    fs::permissions(file, fs::perms(0644));
    write_config_parse_to_file(make_config("a", "b"));
    EXPECT_EQ(mode_of(file), 0600U);
    EXPECT_EQ(names_in(home.config_dir()), std::set<std::string>{"vorpane.toml"});
}

TEST(ConfigFileWrite, FailedCheckLeavesOldFileAndHidesTheSecret) {
    test::ScopedHome home;
    fs::path file = home.config_dir() / "vorpane.toml";
    write_config_parse_to_file(make_config("old", "old-secret"));
    const std::string before = test::read_file(file);

    VorpaneConfig bad_env = make_config("new", "TOPSECRET", "prod");
    try {
        write_config_parse_to_file(bad_env);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("profile.cloud_environment"));
        EXPECT_THAT(e.what(), HasSubstr(file.string()));
        EXPECT_THAT(e.what(), Not(HasSubstr("TOPSECRET")));
    }
    VorpaneConfig bad_utf8 = make_config("new", "TOPSECRET\xff\xfe");
    try {
        write_config_parse_to_file(bad_utf8);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("profile.token is not valid UTF-8"));
        EXPECT_THAT(e.what(), Not(HasSubstr("TOPSECRET")));
    }
    for (const char* invalid : {"\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xe2\x82"}) {
        EXPECT_THROW(write_config_parse_to_file(make_config(invalid, "s")), std::runtime_error);
    }
    EXPECT_EQ(test::read_file(file), before);
}

TEST(ConfigFileWrite, FailedReplaceLeavesTargetAndNoTemporaryFile) {
    test::ScopedHome home;
    fs::path file = home.config_dir() / "vorpane.toml";
    fs::create_directories(file / "inside");
    test::write_file(file / "inside" / "keep.txt", "kept");
    try {
        write_config_parse_to_file(make_config("a", "SECRET-VALUE"));
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_THAT(e.what(), HasSubstr(file.string()));
        EXPECT_THAT(e.what(), Not(HasSubstr("SECRET-VALUE")));
    }
    EXPECT_EQ(test::read_file(file / "inside" / "keep.txt"), "kept");
    EXPECT_EQ(names_in(home.config_dir()), std::set<std::string>{"vorpane.toml"});
}

TEST(ConfigFileWrite, LinkedFileIsUpdatedWhereItLives) {
    test::ScopedHome home;
    fs::path real = home.root() / "dotfiles" / "vorpane.toml";
    test::write_file(real, "");
    fs::create_directories(home.config_dir());
    fs::create_symlink(real, home.config_dir() / "vorpane.toml");
    VorpaneConfig conf = make_config("linked", "s");
    write_config_parse_to_file(conf);
    EXPECT_TRUE(fs::is_symlink(home.config_dir() / "vorpane.toml"));
    EXPECT_EQ(test::read_file(real), serialize_config(conf));
    EXPECT_EQ(mode_of(real), 0600U);
    EXPECT_EQ(get_configparser(), conf);
}

TEST(ConfigFileClean, KeepsBackupsSubfoldersAndLinks) {
    test::ScopedHome home;
    fs::path dir = home.config_dir();
    for (const char* name : {"vorpane.toml", "vorpane.toml.bak", "old.bu", "notes.bu", "kebak",
                             "cache.db", "cache.db-wal", "bu.txt"}) {
        test::write_file(dir / name, "x");
    }
    test::write_file(dir / "logs" / "inner.txt", "x");
    test::write_file(dir / "logs" / "deeper" / "vorpane.toml", "x");
    test::write_file(home.root() / "outside.txt", "x");
    fs::create_symlink(home.root() / "outside.txt", dir / "link.toml");

    clean_config_dir();

    EXPECT_EQ(names_in(dir), (std::set<std::string>{"vorpane.toml.bak", "old.bu", "notes.bu",
                                                    "kebak", "logs", "link.toml"}));
    EXPECT_TRUE(fs::exists(dir / "logs" / "inner.txt"));
    EXPECT_TRUE(fs::exists(dir / "logs" / "deeper" / "vorpane.toml"));
    EXPECT_TRUE(fs::exists(home.root() / "outside.txt"));
}

TEST(ConfigFileClean, CreatesAMissingDirectory) {
    test::ScopedHome home;
    clean_config_dir();
    EXPECT_TRUE(fs::is_directory(home.config_dir()));
    EXPECT_TRUE(fs::is_empty(home.config_dir()));
}

} // namespace
} // namespace vorpane::config

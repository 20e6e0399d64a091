#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using test::names_in;
using test::perms_of;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

records::VorpaneConfig make_config(std::string token_id,
                                   std::string token,
                                   std::string env = "cloud",
                                   bool advanced = false) {
    records::VorpaneConfig conf;
    conf.profile = {std::move(token_id), std::move(token), std::move(env)};
    conf.options.advanced_mode = advanced;
    return conf;
}

class ConfigFile : public ::testing::Test {
  protected:
    test::ScopedHome m_home;
    fs::path m_file = m_home.config_dir() / "vorpane.toml";
};

TEST_F(ConfigFile, FirstUseCreatesAnEmptyPrivateFileAndLeavesAnExistingOneAlone) {
    EXPECT_EQ(perms_of(get_config_file()), fs::perms(0600));
    EXPECT_THROW(load_config(), core::ValidationError);
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
        load_config();
        FAIL() << "no exception";
    } catch (const core::ValidationError& e) {
        EXPECT_THAT(e.errors(), ElementsAre("profile.token_id: not a valid string",
                                            "profile.token: not a valid string",
                                            "options.advanced_mode: not a valid boolean"));
    }
    // Dates arrive as their text; other keys and tables are read, then dropped on the next write.
    test::write_file(m_file, "# comment\n[profile]\ntoken_id = 1979-05-27\n"
                             "token = 1979-05-27T07:32:00Z\nratio = 0.5\nlist = [1, [true]]\n"
                             "[options]\nadvanced_mode = \"yes\"\ncolour = 3\n"
                             "[extra]\nkey = [1, 2]\n[extra.sub]\nk = 1979-05-27\n");
    const records::VorpaneConfig conf = load_config();
    EXPECT_EQ(conf, make_config("1979-05-27", "1979-05-27T07:32:00Z", "cloud", true));
    write_config(conf);
    EXPECT_EQ(test::read_file(m_file), serialize_config(conf));
    EXPECT_THAT(test::read_file(m_file), Not(HasSubstr("extra")));
}

TEST_F(ConfigFile, EscapesLikeTomlBasicStringsAndRoundTrips) {
    EXPECT_EQ(serialize_config(make_config("q\"b\\", "\b\t\n\f\r\x01\x1f\x7f\xc3\xa9")),
              "[profile]\ntoken_id = \"q\\\"b\\\\\"\n"
              "token = \"\\b\\t\\n\\f\\r\\u0001\\u001F\\u007F\xc3\xa9\"\n"
              "cloud_environment = \"cloud\"\n\n[options]\nadvanced_mode = false\n");
    for (const std::string secret : {"with \"quotes\" and 'single'", "back\\slash\\",
                                     "ctl\x01\x02\x1b[0m\x7f", "''' \"\"\" #"}) {
        const records::VorpaneConfig conf = make_config("id \"x\"", secret, "dev.cloud", true);
        write_config(conf);
        EXPECT_EQ(load_config(), conf) << secret;
    }
}

TEST_F(ConfigFile, WriteReplacesALooseFileWithAPrivateOneAndFollowsALink) {
    test::write_file(m_file, "");
    fs::permissions(m_file, fs::perms(0644));
    write_config(make_config("a", "b"));
    EXPECT_EQ(perms_of(m_file), fs::perms(0600));
    EXPECT_EQ(names_in(m_home.config_dir()), std::set<std::string>{"vorpane.toml"});

    const fs::path real = m_home.root() / "dotfiles" / "vorpane.toml";
    test::write_file(real, "");
    fs::remove(m_file);
    fs::create_symlink(real, m_file);
    const records::VorpaneConfig conf = make_config("linked", "s");
    write_config(conf);
    EXPECT_TRUE(fs::is_symlink(m_file));
    EXPECT_EQ(test::read_file(real), serialize_config(conf));
    EXPECT_EQ(perms_of(real), fs::perms(0600));
}

TEST_F(ConfigFile, FailedCheckLeavesTheOldFileAndHidesTheSecret) {
    write_config(make_config("old", "old-secret"));
    const std::string before = test::read_file(m_file);
    std::string what = test::what_of<std::runtime_error>(
        [] { write_config(make_config("new", "TOPSECRET", "prod")); });
    EXPECT_THAT(what, AllOf(HasSubstr("profile.cloud_environment"), HasSubstr(m_file.string()),
                            Not(HasSubstr("TOPSECRET"))));
    what = test::what_of<std::runtime_error>(
        [] { write_config(make_config("new", "TOPSECRET\xff\xfe")); });
    EXPECT_THAT(what,
                AllOf(HasSubstr("profile.token is not valid UTF-8"), Not(HasSubstr("TOPSECRET"))));
    for (const char* invalid :
         {"\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xe2\x82", "\xe0\x9f\xbf",
          "\xf0\x8f\xbf\xbf", "\xf0\x90\x80", "\xf8\x88", "\xc3("}) {
        EXPECT_THAT(test::what_of([&] { write_config(make_config(invalid, "s")); }),
                    HasSubstr("profile.token_id is not valid UTF-8"));
    }
    EXPECT_EQ(test::read_file(m_file), before);
}

TEST_F(ConfigFile, DirectoryInThePlaceOfTheFileFailsReadAndWriteCleanly) {
    fs::create_directories(m_file / "inside");
    test::write_file(m_file / "inside" / "keep.txt", "kept");
    EXPECT_THAT(test::what_of<fs::filesystem_error>([] { load_config(); }),
                HasSubstr("Is a directory [" + m_file.string() + "]"));
    const std::string what =
        test::what_of<fs::filesystem_error>([] { write_config(make_config("a", "SECRET-VALUE")); });
    EXPECT_THAT(what, AllOf(HasSubstr(m_file.string()), Not(HasSubstr("SECRET-VALUE"))));
    EXPECT_EQ(test::read_file(m_file / "inside" / "keep.txt"), "kept");
    EXPECT_EQ(names_in(m_home.config_dir()), std::set<std::string>{"vorpane.toml"});
}

TEST_F(ConfigFile, ParseErrorsGiveThePlaceAndNeverQuoteTheFile) {
    struct Case {
        std::string toml;
        std::string secret; // must not appear
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"[profile]\ntoken = 123456789012345678901234567890\n", "1234567890",
         "line 2, column 39: Error while parsing decimal integer: value is not representable in 64 "
         "bits"},
        {"[profile]\ntoken = 0x1234567890abcdef0123\n", "1234567890", "not representable"},
        {"[profile]\ntoken = 12e99999\n", "12e9", "could not be interpreted as a value"},
        {"[profile]\ntoken = 1234abcsecret\n", "abc", "expected decimal digit"},
        {"[profile]\ntoken = 'abc' Qjunk\n", "Q", "expected a comment or whitespace"},
        {"[profile]\ntoken = \"\\qsecret\"\n", "\\q", "unknown escape sequence"},
        {"[profile]\n\"Wse'cret\" = 1\n\"Wse'cret\" = 2\n", "W", "cannot redefine existing"},
        {"[profile]\n\"Wsecret\"\n", "W", "Error while parsing key-value pair: unexpected"},
    };
    for (const Case& c : cases) {
        const std::string what =
            test::what_of<ConfigParseError>([&] { parse_config(c.toml, m_file); });
        EXPECT_EQ(what.rfind(m_file.string() + ": invalid TOML at line ", 0), 0U) << what;
        EXPECT_THAT(what, HasSubstr(c.reason)) << what;
        // The temporary directory's name is random, so only what follows it is searched.
        EXPECT_THAT(what.substr(m_file.string().size()), Not(HasSubstr(c.secret)));
        EXPECT_EQ(what.find_first_of("'\"\n"), std::string::npos) << what;
    }
}

TEST_F(ConfigFile, ReplaceKeepsTheDirectoryUntilTheNewConfigurationIsStored) {
    write_config(make_config("old", "old-secret"));
    ResultCache(m_home.config_dir()).add_if_absent("token", "old-access", 1800);
    for (const char* name : {"notes.txt", "keep.bak", "keep.bu", "kebak", "sub/inner.txt"}) {
        test::write_file(m_home.config_dir() / name, name);
    }
    const auto before = test::read_tree(m_home.config_dir());
    ASSERT_TRUE(before.count("cache.sqlite3"));
    for (const auto& bad : {make_config("new", "TOPSECRET\xff"), make_config("n", "s", "prod")}) {
        EXPECT_THROW(replace_config(bad), std::runtime_error);
        EXPECT_EQ(test::read_tree(m_home.config_dir()), before);
    }
    const records::VorpaneConfig fresh = make_config("new", "new-secret");
    replace_config(fresh);
    EXPECT_EQ(load_config(), fresh);
    EXPECT_EQ(names_in(m_home.config_dir()),
              (std::set<std::string>{"vorpane.toml", "keep.bak", "keep.bu", "kebak", "sub"}));
    EXPECT_EQ(ResultCache(m_home.config_dir()).lookup("token"), std::nullopt);
}

} // namespace
} // namespace vorpane::config

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using Vars = std::map<std::string, std::string>;
using test::env_lookup;
using test::perms_of;
using ::testing::HasSubstr;

TEST(DirsResolve, XdgRulesAndAClearErrorWithoutHome) {
    struct Case {
        Vars vars;
        std::string config;
        std::string data;
        Platform platform = Platform::Linux;
    };
    const std::vector<Case> cases = {
        {{{"HOME", "/home/u"}}, "/home/u/.config/Vorpane", "/home/u/.local/share/Vorpane"},
        {{{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_DATA_HOME", "/data/x"}},
         "/cfg/Vorpane",
         "/data/x/Vorpane"},
        // Only absolute XDG values count.
        {{{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "cfg"}, {"XDG_DATA_HOME", ""}},
         "/home/u/.config/Vorpane",
         "/home/u/.local/share/Vorpane"},
        // HOME is only needed for a directory that falls back to it.
        {{{"XDG_CONFIG_HOME", "/c"}, {"XDG_DATA_HOME", "/d"}}, "/c/Vorpane", "/d/Vorpane"},
        // On macOS one directory holds both, and XDG means nothing.
        {{{"HOME", "/Users/u"}, {"XDG_CONFIG_HOME", "/c"}},
         "/Users/u/Library/Application Support/Vorpane",
         "/Users/u/Library/Application Support/Vorpane",
         Platform::MacOS},
    };
    for (const auto& c : cases) {
        const AppDirs dirs = resolve_app_dirs(c.platform, env_lookup(c.vars));
        EXPECT_EQ(dirs.config_dir.generic_string(), c.config) << c.config;
        EXPECT_EQ(dirs.data_dir.generic_string(), c.data) << c.data;
    }

    EXPECT_THROW(resolve_app_dirs(Platform::Linux, env_lookup({})), core::VorpaneException);
    EXPECT_THROW(resolve_app_dirs(Platform::Linux, env_lookup({{"HOME", ""}})),
                 core::VorpaneException);
}

TEST(DirsCreate, DirectoriesAreCreatedPrivateAndExistingOnesLeftAlone) {
    test::ScopedHome home;
    EXPECT_EQ(perms_of(get_config_dir()), fs::perms(0700));
    EXPECT_EQ(perms_of(home.home() / ".config"), fs::perms(0700));
    const fs::path data = home.home() / ".local" / "share" / "Vorpane";
    EXPECT_EQ(perms_of(get_default_examples_dir()), fs::perms(0700));
    fs::permissions(home.config_dir(), fs::perms(0755));
    EXPECT_EQ(perms_of(get_config_dir()), fs::perms(0755));
    // Not one that others may write to, also behind a link (a dotfiles manager's): what counts
    // is the directory the link leads to.
    fs::permissions(home.config_dir(), fs::perms(0775));
    EXPECT_THAT(test::what_of([] { get_config_dir(); }), HasSubstr("mode 0775; it must belong"));
    fs::rename(home.config_dir(), home.root() / "real");
    fs::create_directory_symlink(home.root() / "real", home.config_dir());
    EXPECT_THROW(get_config_dir(), UnsafeStateError);
    fs::permissions(home.root() / "real", fs::perms(0700));
    EXPECT_EQ(get_config_dir(), home.config_dir());
    // The variables of the process count; a relative one is ignored, not created.
    const fs::path cfg = home.root() / "xdg-config";
    ::setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(get_config_dir(), cfg / "Vorpane");
    EXPECT_EQ(get_data_dir(), data);
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
}

TEST(DirsCreate, FileInTheWayIsReportedAndConcurrentCreationSucceeds) {
    test::TempDir tmp;
    test::write_file(tmp.path() / "plain", "x");
    EXPECT_THROW(create_private_directories(tmp.path() / "plain" / "sub"), fs::filesystem_error);
    EXPECT_THROW(create_private_directories(tmp.path() / "plain"), fs::filesystem_error);
    for (int round = 0; round < 20; ++round) {
        const fs::path target = tmp.path() / std::to_string(round) / "a" / "b" / "c";
        std::atomic<int> failures = 0;
        {
            std::vector<std::jthread> threads(8);
            for (auto& t : threads) {
                t = std::jthread([&] {
                    try {
                        create_private_directories(target);
                    } catch (const fs::filesystem_error&) {
                        ++failures;
                    }
                });
            }
        }
        EXPECT_EQ(failures, 0);
        EXPECT_TRUE(fs::is_directory(target));
    }
}

} // namespace
} // namespace vorpane::config

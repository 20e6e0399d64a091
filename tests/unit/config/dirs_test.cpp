#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;
using Vars = std::map<std::string, std::string>;

EnvLookup env_of(Vars vars) {
    return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
        auto it = vars.find(name);
        return it != vars.end() ? std::optional(it->second) : std::nullopt;
    };
}

fs::perms perms_of(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
}

TEST(DirsResolve, PerPlatformRules) {
    struct Case {
        Platform platform;
        Vars vars;
        std::string config;
        std::string data;
    };
    const std::vector<Case> cases = {
        {Platform::Linux,
         {{"HOME", "/home/u"}},
         "/home/u/.config/Vorpane",
         "/home/u/.local/share/Vorpane"},
        {Platform::Linux,
         {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_DATA_HOME", "/data/x"}},
         "/cfg/Vorpane",
         "/data/x/Vorpane"},
        // Only absolute XDG values count.
        {Platform::Linux,
         {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "cfg"}, {"XDG_DATA_HOME", ""}},
         "/home/u/.config/Vorpane",
         "/home/u/.local/share/Vorpane"},
        // HOME is only needed for a directory that falls back to it.
        {Platform::Linux,
         {{"XDG_CONFIG_HOME", "/c"}, {"XDG_DATA_HOME", "/d"}},
         "/c/Vorpane",
         "/d/Vorpane"},
        {Platform::MacOS,
         {{"HOME", "/Users/u"}, {"XDG_CONFIG_HOME", "/cfg"}},
         "/Users/u/Library/Application Support/Vorpane",
         "/Users/u/Library/Application Support/Vorpane"},
        {Platform::Windows,
         {{"USERPROFILE", "C:/Users/u1"}, {"XDG_CONFIG_HOME", "/cfg"}},
         "C:/Users/u1/.ZEL/Vorpane",
         "C:/Users/u1/.ZEL/Vorpane"},
    };
    for (const auto& c : cases) {
        const AppDirs dirs = resolve_app_dirs(c.platform, env_of(c.vars));
        EXPECT_EQ(dirs.config_dir.generic_string(), c.config) << c.config;
        EXPECT_EQ(dirs.data_dir.generic_string(), c.data) << c.data;
    }
}

TEST(DirsResolve, MissingHomeOrUserProfileIsAClearError) {
    EXPECT_THROW(resolve_app_dirs(Platform::Linux, env_of({})), core::VorpaneException);
    EXPECT_THROW(resolve_app_dirs(Platform::Linux, env_of({{"HOME", ""}})), core::VorpaneException);
    for (const Vars& vars : {Vars{{"HOME", "/home/u"}}, Vars{{"USERPROFILE", ""}}}) {
        try {
            resolve_app_dirs(Platform::Windows, env_of(vars));
            FAIL() << "no exception";
        } catch (const core::VorpaneException& e) {
            EXPECT_NE(e.message().find("USERPROFILE"), std::string::npos) << e.message();
        }
    }
}

TEST(DirsCreate, DirectoriesAreCreatedPrivateAndExistingOnesLeftAlone) {
    test::ScopedHome home;
    EXPECT_EQ(_get_config_dir(), home.config_dir());
    EXPECT_EQ(perms_of(home.config_dir()), fs::perms(0700));
    EXPECT_EQ(perms_of(home.home() / ".config"), fs::perms(0700));
    const fs::path data = home.home() / ".local" / "share" / "Vorpane";
    EXPECT_EQ(get_venv_dir(), data / "envs");
    EXPECT_EQ(get_default_examples_dir(), data / "examples");
    EXPECT_EQ(perms_of(data / "examples"), fs::perms(0700));
    fs::permissions(home.config_dir(), fs::perms(0755));
    EXPECT_EQ(_get_config_dir(), home.config_dir());
    EXPECT_EQ(perms_of(home.config_dir()), fs::perms(0755));
    // The variables of the process count; a relative one is ignored, not created.
    const fs::path cfg = home.root() / "xdg-config";
    ::setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(_get_config_dir(), cfg / "Vorpane");
    EXPECT_EQ(_get_data_dir(), data);
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
}

TEST(DirsCreate, FileInTheWayIsReportedAndConcurrentCreationSucceeds) {
    test::TempDir tmp;
    test::write_file(tmp.path() / "plain", "x");
    EXPECT_THROW(create_private_directories(tmp.path() / "plain" / "sub"), fs::filesystem_error);
    EXPECT_THROW(create_private_directories(tmp.path() / "plain"), fs::filesystem_error);
    for (int round = 0; round < 20; ++round) {
        const fs::path target = tmp.path() / std::to_string(round) / "a" / "b" / "c";
        std::vector<std::thread> threads;
        std::vector<int> failures(8, 0);
        for (std::size_t i = 0; i < failures.size(); ++i) {
            threads.emplace_back([&target, &failures, i] {
                try {
                    create_private_directories(target);
                } catch (const fs::filesystem_error&) {
                    failures[i] = 1;
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(std::count(failures.begin(), failures.end(), 1), 0);
        EXPECT_TRUE(fs::is_directory(target));
    }
}

} // namespace
} // namespace vorpane::config

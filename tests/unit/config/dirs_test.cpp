#include "vorpane/cli/exceptions.hpp"
#include "vorpane/config/dirs.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::config {
namespace {

namespace fs = std::filesystem;

EnvLookup env_of(std::map<std::string, std::string> vars) {
    return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
        auto it = vars.find(name);
        return it != vars.end() ? std::optional(it->second) : std::nullopt;
    };
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(DirsResolve, LinuxDefaultsUnderHome) {
    AppDirs dirs = resolve_app_dirs(Platform::Linux, env_of({{"HOME", "/home/u"}}));
    EXPECT_EQ(dirs.config_dir, fs::path("/home/u/.config/Vorpane"));
    EXPECT_EQ(dirs.data_dir, fs::path("/home/u/.local/share/Vorpane"));
}

TEST(DirsResolve, LinuxUsesAbsoluteXdgVariables) {
    AppDirs dirs = resolve_app_dirs(
        Platform::Linux,
        env_of({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_DATA_HOME", "/data/x"}}));
    EXPECT_EQ(dirs.config_dir, fs::path("/cfg/Vorpane"));
    EXPECT_EQ(dirs.data_dir, fs::path("/data/x/Vorpane"));
}

TEST(DirsResolve, LinuxIgnoresRelativeOrEmptyXdgVariables) {
    AppDirs dirs = resolve_app_dirs(
        Platform::Linux,
        env_of({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "cfg"}, {"XDG_DATA_HOME", ""}}));
    EXPECT_EQ(dirs.config_dir, fs::path("/home/u/.config/Vorpane"));
    EXPECT_EQ(dirs.data_dir, fs::path("/home/u/.local/share/Vorpane"));
}

TEST(DirsResolve, LinuxWithoutHome) {
    EXPECT_THROW(resolve_app_dirs(Platform::Linux, env_of({})), VorpaneException);
    EXPECT_THROW(resolve_app_dirs(Platform::Linux, env_of({{"HOME", ""}})), VorpaneException);
    // HOME is only needed for a directory that falls back to it.
    AppDirs dirs = resolve_app_dirs(Platform::Linux,
                                    env_of({{"XDG_CONFIG_HOME", "/c"}, {"XDG_DATA_HOME", "/d"}}));
    EXPECT_EQ(dirs.config_dir, fs::path("/c/Vorpane"));
}

TEST(DirsResolve, MacOsSharesOneDirectory) {
    AppDirs dirs = resolve_app_dirs(Platform::MacOS,
                                    env_of({{"HOME", "/Users/u"}, {"XDG_CONFIG_HOME", "/cfg"}}));
    EXPECT_EQ(dirs.config_dir, fs::path("/Users/u/Library/Application Support/Vorpane"));
    EXPECT_EQ(dirs.data_dir, dirs.config_dir);
}

TEST(DirsResolve, WindowsUsesUserProfile) {
    auto env = env_of({{"USERPROFILE", "C:/Users/u1"}, {"XDG_CONFIG_HOME", "/cfg"}});
    AppDirs dirs = resolve_app_dirs(Platform::Windows, env);
    EXPECT_EQ(dirs.config_dir.generic_string(), "C:/Users/u1/.ZEL/Vorpane");
    EXPECT_EQ(dirs.data_dir, dirs.config_dir);
    EXPECT_EQ((dirs.config_dir / "vorpane.toml").generic_string(),
              "C:/Users/u1/.ZEL/Vorpane/vorpane.toml");
    EXPECT_EQ((dirs.data_dir / "examples").generic_string(), "C:/Users/u1/.ZEL/Vorpane/examples");
    EXPECT_EQ(_get_windows_userprofile_path(env), dirs.config_dir);
}

TEST(DirsResolve, WindowsWithoutUserProfileIsAClearError) {
    for (const auto& env : {env_of({{"HOME", "/home/u"}}), env_of({{"USERPROFILE", ""}})}) {
        try {
            resolve_app_dirs(Platform::Windows, env);
            FAIL() << "no exception";
        } catch (const VorpaneException& e) {
            EXPECT_NE(e.message().find("USERPROFILE"), std::string::npos) << e.message();
        }
    }
}

TEST(DirsPlatform, BuildPlatformIsFixed) {
    EXPECT_EQ(runs_on_windows(), current_platform() == Platform::Windows);
#if defined(__linux__)
    EXPECT_EQ(current_platform(), Platform::Linux);
#endif
}

TEST(DirsCreate, ConfigDirIsCreatedPrivateWithParents) {
    test::ScopedHome home;
    fs::path dir = _get_config_dir();
    EXPECT_EQ(dir, home.config_dir());
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(mode_of(dir), 0700U);
    EXPECT_EQ(mode_of(home.home() / ".config"), 0700U);
}

TEST(DirsCreate, ExistingDirectoryIsLeftAlone) {
    test::ScopedHome home;
    fs::create_directories(home.config_dir());
    fs::permissions(home.config_dir(), fs::perms(0755));
    EXPECT_EQ(_get_config_dir(), home.config_dir());
    EXPECT_EQ(mode_of(home.config_dir()), 0755U);
}

TEST(DirsCreate, FollowsXdgVariablesOfTheProcess) {
    test::ScopedHome home;
    fs::path cfg = home.root() / "xdg-config";
    ::setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(_get_config_dir(), cfg / "Vorpane");
    EXPECT_EQ(_get_data_dir(), home.home() / ".local" / "share" / "Vorpane");
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
}

TEST(DirsCreate, DataSubdirectories) {
    test::ScopedHome home;
    fs::path data = home.home() / ".local" / "share" / "Vorpane";
    EXPECT_EQ(get_venv_dir(), data / "envs");
    EXPECT_EQ(get_default_examples_dir(), data / "examples");
    EXPECT_TRUE(fs::is_directory(data / "envs"));
    EXPECT_TRUE(fs::is_directory(data / "examples"));
    EXPECT_EQ(mode_of(data / "examples"), 0700U);
    EXPECT_EQ(get_default_env_name(), "default");
}

TEST(DirsCreate, FileInTheWayIsReported) {
    test::TempDir tmp;
    test::write_file(tmp.path() / "plain", "x");
    EXPECT_THROW(create_private_directories(tmp.path() / "plain" / "sub"), fs::filesystem_error);
    EXPECT_THROW(create_private_directories(tmp.path() / "plain"), fs::filesystem_error);
}

TEST(DirsCreate, ConcurrentCreationSucceedsEverywhere) {
    test::TempDir tmp;
    for (int round = 0; round < 20; ++round) {
        fs::path target = tmp.path() / std::to_string(round) / "a" / "b" / "c";
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
        for (int failed : failures) {
            EXPECT_EQ(failed, 0);
        }
        EXPECT_TRUE(fs::is_directory(target));
    }
}

} // namespace
} // namespace vorpane::config

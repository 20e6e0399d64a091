#include "vorpane/engine/runner.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/engine/target.hpp"
#include "vorpane/engine/uv.hpp"

#include <gtest/gtest.h>

#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;

core::SystemClock target_clock;
SystemProcessRunner target_runner{target_clock};

void make_executable(const fs::path& path) {
    test::write_file(path, "#!/bin/sh\nexit 1\n");
    fs::permissions(path, fs::perms::owner_all);
}

TEST(TargetEnvironment, RootPrefersVirtualEnvThenCondaAndChildrenGetItNormalised) {
    struct Case {
        std::map<std::string, std::string> vars;
        std::string root, child_venv;
    };
    for (const Case& c :
         {Case{{{"VIRTUAL_ENV", "/opt/venv"}, {"CONDA_PREFIX", "/opt/conda"}},
               "/opt/venv",
               "/opt/venv"},
          Case{{{"VIRTUAL_ENV", ""}, {"CONDA_PREFIX", "/opt/conda/"}}, "/opt/conda/", "/opt/conda"},
          Case{{{"VIRTUAL_ENV", "/opt//env/./x/"}}, "/opt//env/./x/", "/opt/env/x"}}) {
        TargetEnvironment target(target_runner, c.vars);
        EXPECT_EQ(target.root(), c.root);
        EXPECT_EQ(target.child_env().at("VIRTUAL_ENV"), c.child_venv);
    }
    // The child gets a full copy of the run's environment, CONDA_PREFIX included.
    TargetEnvironment target(target_runner, {{"VIRTUAL_ENV", "/v"}, {"CONDA_PREFIX", "/c"}});
    EXPECT_EQ(target.child_env().at("CONDA_PREFIX"), "/c");

    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {"/opt//env/./x/", "/opt/env/x"}, {"", "."}, {"env/.", "env"}, {"a/../b", "a/../b"}}) {
        EXPECT_EQ(normalized_path_text(text), expected) << text;
    }
}

TEST(TargetEnvironment, UvComesFromTheEnvironmentFirstThenPath) {
    test::TempDir dir;
    const fs::path venv = dir.path() / "venv";
    const fs::path path_dir = dir.path() / "path";
    make_executable(path_dir / "uv");
    const auto vars = std::map<std::string, std::string>{{"VIRTUAL_ENV", venv.string()},
                                                         {"PATH", path_dir.string()}};
    EXPECT_EQ(TargetEnvironment(target_runner, vars).uv(), (path_dir / "uv").string());
    make_executable(venv / "bin" / "uv");
    EXPECT_EQ(TargetEnvironment(target_runner, vars).uv(), (venv / "bin" / "uv").string());
    // A directory or a file without the executable bit is no uv.
    fs::remove(venv / "bin" / "uv");
    fs::create_directories(venv / "bin" / "uv");
    fs::permissions(path_dir / "uv", fs::perms::owner_read);
    EXPECT_THROW((void)TargetEnvironment(target_runner, vars).uv(), UvNotFound);
}

} // namespace
} // namespace vorpane::engine

#include "vorpane/engine/python.hpp"
#include "vorpane/engine/runner.hpp"

#include <gtest/gtest.h>

#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::env_lookup;

// Asks interpreters as the tool does: through the process runner, in the tool's environment.
core::SystemClock s_clock;
SystemProcessRunner s_runner{s_clock};
const config::Environment s_env = config::process_environment();

// An executable that fails if anyone runs it: proves that a question was answered from files.
fs::path make_failing_python(const fs::path& path) {
    test::write_file(path, "#!/bin/sh\nexit 1\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

TEST(PythonLocate, VirtualEnvThenCondaThenPythonThreeThenPythonOnPath) {
    test::TempDir dir;
    const fs::path venv = dir.path() / "venv";
    const fs::path path_dir = dir.path() / "path";
    for (const fs::path& python : {venv / "bin" / "python", path_dir / "python"}) {
        make_failing_python(python);
    }
    const std::string path = path_dir.string();
    EXPECT_EQ(PythonInterpreter(env_lookup({{"VIRTUAL_ENV", venv.string()}, {"PATH", path}}))
                  .executable(),
              venv / "bin" / "python");
    // An environment without an interpreter is skipped; python serves when python3 is missing.
    EXPECT_EQ(PythonInterpreter(env_lookup({{"CONDA_PREFIX", path}, {"PATH", path}})).executable(),
              path_dir / "python");
    fs::remove(path_dir / "python");
    EXPECT_EQ(test::what_of<PythonInterpreterError>([&] {
                  PythonInterpreter(env_lookup({{"VIRTUAL_ENV", "/no/env"}, {"PATH", path}}));
              }),
              "No Python interpreter found: looked for /no/env/bin/python ($VIRTUAL_ENV), python3 "
              "and python on PATH");
}

TEST(PythonVersion, ReadFromPyvenvCfgWithoutRunningAnything) {
    const std::vector<std::pair<std::string, std::pair<int, int>>> cases = {
        {"home = /usr/bin\ninclude-system-site-packages = false\nversion = 3.11.7\n", {3, 11}},
        {"version = 3.9.1\nversion_info = 3.12.1.final.0\nhome=/x\n", {3, 12}},
    };
    for (const auto& [cfg, version] : cases) {
        test::TempDir dir;
        const fs::path python = make_failing_python(dir.path() / "bin" / "python");
        test::write_file(dir.path() / "pyvenv.cfg", cfg);
        const auto interpreter = PythonInterpreter::from_executable(python);
        EXPECT_EQ(interpreter.version(s_runner, s_env), version) << cfg;
        EXPECT_EQ(interpreter.prefix(s_runner, s_env), dir.path());
    }
    for (const char* bad : {"", "3", "3.", "x.y", "3.x", "3,11", "3.11rc1"}) {
        EXPECT_FALSE(parse_python_version(bad)) << bad;
    }
}

TEST(PythonVersion, AskedFromTheInterpreterWhenTheFilesDoNotSay) {
    const fs::path real = VORPANE_PY311;
    test::TempDir dir;
    fs::create_directories(dir.path() / "bin");
    fs::create_symlink(real, dir.path() / "bin" / "python3");
    auto interpreter = PythonInterpreter::from_executable(dir.path() / "bin" / "python3");
    EXPECT_EQ(interpreter.version(s_runner, s_env), std::make_pair(3, 11));
    // pyenv installs each interpreter as <prefix>/bin/pythonX.Y.
    EXPECT_EQ(fs::canonical(interpreter.prefix(s_runner, s_env)),
              fs::canonical(real).parent_path().parent_path());

    test::TempDir other;
    const fs::path failing = make_failing_python(other.path() / "python3");
    EXPECT_EQ(test::what_of<PythonInterpreterError>([&] {
                  (void)PythonInterpreter::from_executable(failing).version(s_runner, s_env);
              }),
              "cannot ask " + failing.string() + " for its version: it exited with status 1");
}

} // namespace
} // namespace vorpane::engine

#include "vorpane/engine/python.hpp"
#include "vorpane/util/process.hpp"

#include <gtest/gtest.h>

#include <map>

#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;

config::EnvLookup lookup(std::map<std::string, std::string> vars) {
    return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
        auto it = vars.find(name);
        return it != vars.end() ? std::optional(it->second) : std::nullopt;
    };
}

// An executable that fails if anyone runs it: proves that a question was answered from files.
fs::path make_failing_python(const fs::path& path) {
    test::write_file(path, "#!/bin/sh\nexit 1\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

fs::path real_python() {
    return fs::path(VORPANE_PY311);
}

// pyenv installs each interpreter as <prefix>/bin/pythonX.Y.
fs::path real_prefix() {
    return fs::canonical(real_python()).parent_path().parent_path();
}

TEST(PythonLocate, VirtualEnvFirstThenCondaThenPath) {
    test::TempDir dir;
    fs::path venv = dir.path() / "venv";
    fs::path conda = dir.path() / "conda";
    fs::path path_dir = dir.path() / "path";
    make_failing_python(venv / "bin" / "python");
    make_failing_python(conda / "bin" / "python");
    make_failing_python(path_dir / "python3");
    make_failing_python(path_dir / "python");
    std::string path = path_dir.string();

    EXPECT_EQ(PythonInterpreter(lookup({{"VIRTUAL_ENV", venv.string()},
                                        {"CONDA_PREFIX", conda.string()},
                                        {"PATH", path}}))
                  .executable(),
              venv / "bin" / "python");
    EXPECT_EQ(PythonInterpreter(
                  lookup({{"VIRTUAL_ENV", ""}, {"CONDA_PREFIX", conda.string()}, {"PATH", path}}))
                  .executable(),
              conda / "bin" / "python");
    EXPECT_EQ(PythonInterpreter(lookup({{"CONDA_PREFIX", ""}, {"PATH", path}})).executable(),
              path_dir / "python3");
    fs::remove(path_dir / "python3");
    EXPECT_EQ(PythonInterpreter(lookup({{"PATH", path}})).executable(), path_dir / "python");
}

TEST(PythonLocate, EnvironmentWithoutInterpreterIsSkipped) {
    test::TempDir dir;
    make_failing_python(dir.path() / "path" / "python3");
    PythonInterpreter python(lookup({{"VIRTUAL_ENV", (dir.path() / "empty").string()},
                                     {"PATH", (dir.path() / "path").string()}}));
    EXPECT_EQ(python.executable(), dir.path() / "path" / "python3");
}

TEST(PythonLocate, NothingFoundNamesWhereItLooked) {
    test::TempDir dir;
    try {
        PythonInterpreter python(
            lookup({{"VIRTUAL_ENV", "/no/env"}, {"PATH", dir.path().string()}}));
        FAIL() << "found " << python.executable();
    } catch (const PythonInterpreterError& e) {
        EXPECT_STREQ(e.what(), "No Python interpreter found: looked for /no/env/bin/python "
                               "($VIRTUAL_ENV), python3 and python on PATH");
    }
    EXPECT_THROW(PythonInterpreter(lookup({})), PythonInterpreterError);
}

TEST(PythonVersion, ReadFromPyvenvCfgWithoutRunningAnything) {
    test::TempDir dir;
    fs::path python = make_failing_python(dir.path() / "bin" / "python");
    test::write_file(dir.path() / "pyvenv.cfg",
                     "home = /usr/bin\ninclude-system-site-packages = false\nversion = 3.11.7\n");
    auto interpreter = PythonInterpreter::from_executable(python);
    EXPECT_EQ(interpreter.version(), std::make_pair(3, 11));
    EXPECT_EQ(interpreter.prefix(), dir.path());
}

TEST(PythonVersion, VersionInfoKeyIsPreferred) {
    test::TempDir dir;
    fs::path python = make_failing_python(dir.path() / "bin" / "python");
    test::write_file(dir.path() / "pyvenv.cfg",
                     "version = 3.9.1\nversion_info = 3.12.1.final.0\nhome=/x\n");
    EXPECT_EQ(PythonInterpreter::from_executable(python).version(), std::make_pair(3, 12));
}

TEST(PythonVersion, AskedFromRealInterpreterWithoutPyvenvCfg) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "bin");
    fs::create_symlink(real_python(), dir.path() / "bin" / "python3");
    auto interpreter = PythonInterpreter::from_executable(dir.path() / "bin" / "python3");
    EXPECT_EQ(interpreter.version(), std::make_pair(3, 11));
    EXPECT_EQ(fs::canonical(interpreter.prefix()), real_prefix());
}

TEST(PythonVersion, CfgWithoutVersionKeepsRootButAsksInterpreter) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "bin");
    fs::create_symlink(real_python(), dir.path() / "bin" / "python");
    test::write_file(dir.path() / "pyvenv.cfg",
                     "home = " + real_python().parent_path().string() + "\n");
    auto interpreter = PythonInterpreter::from_executable(dir.path() / "bin" / "python");
    EXPECT_EQ(interpreter.version(), std::make_pair(3, 11));
    EXPECT_EQ(interpreter.prefix(), dir.path());
}

TEST(PythonVersion, RealVenvAgreesWithItsBaseInterpreter) {
    test::TempDir dir;
    fs::path venv = dir.path() / "venv";
    auto made =
        util::run_process({real_python().string(), "-m", "venv", "--without-pip", venv.string()},
                          util::current_environment());
    ASSERT_EQ(made.returncode, 0);
    PythonInterpreter in_venv(lookup({{"VIRTUAL_ENV", venv.string()}}));
    EXPECT_EQ(in_venv.version(), PythonInterpreter::from_executable(real_python()).version());
    EXPECT_EQ(in_venv.prefix(), venv);
}

TEST(PythonVersion, FailingInterpreterIsOneClearError) {
    test::TempDir dir;
    fs::path python = make_failing_python(dir.path() / "python3");
    try {
        (void)PythonInterpreter::from_executable(python).version();
        FAIL() << "no error";
    } catch (const PythonInterpreterError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot ask " + python.string() + " for its version: it exited with status 1");
    }
}

TEST(PythonVersion, ParseVersionText) {
    EXPECT_EQ(parse_python_version("3.11.7"), std::make_pair(3, 11));
    EXPECT_EQ(parse_python_version(" 3.13.0.final.0\n"), std::make_pair(3, 13));
    EXPECT_EQ(parse_python_version("3.9"), std::make_pair(3, 9));
    for (const char* bad : {"", "3", "3.", "x.y", "3.x", "3,11", "3.11rc1"}) {
        EXPECT_FALSE(parse_python_version(bad)) << bad;
    }
}

TEST(PythonVersion, ScriptsDirName) {
    EXPECT_EQ(PythonInterpreter::scripts_dir_name(), "bin");
}

} // namespace
} // namespace vorpane::engine

#include "vorpane/engine/python.hpp"

#include <gtest/gtest.h>

#include <map>

#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using Vars = std::map<std::string, std::string>;

config::EnvLookup lookup(Vars vars) {
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

TEST(PythonLocate, VirtualEnvThenCondaThenPythonThreeThenPythonOnPath) {
    test::TempDir dir;
    const fs::path venv = dir.path() / "venv";
    const fs::path conda = dir.path() / "conda";
    const fs::path path_dir = dir.path() / "path";
    for (const fs::path& python : {venv / "bin" / "python", conda / "bin" / "python",
                                   path_dir / "python3", path_dir / "python"}) {
        make_failing_python(python);
    }
    const std::string path = path_dir.string();
    const std::vector<std::pair<Vars, fs::path>> cases = {
        {{{"VIRTUAL_ENV", venv.string()}, {"CONDA_PREFIX", conda.string()}, {"PATH", path}},
         venv / "bin" / "python"},
        {{{"VIRTUAL_ENV", ""}, {"CONDA_PREFIX", conda.string()}, {"PATH", path}},
         conda / "bin" / "python"},
        // An environment without an interpreter is skipped.
        {{{"VIRTUAL_ENV", (dir.path() / "empty").string()}, {"PATH", path}}, path_dir / "python3"},
        {{{"CONDA_PREFIX", ""}, {"PATH", path}}, path_dir / "python3"},
    };
    for (const auto& [vars, expected] : cases) {
        EXPECT_EQ(PythonInterpreter(lookup(vars)).executable(), expected);
    }
    fs::remove(path_dir / "python3");
    EXPECT_EQ(PythonInterpreter(lookup({{"PATH", path}})).executable(), path_dir / "python");
    fs::remove(path_dir / "python");
    try {
        PythonInterpreter python(lookup({{"VIRTUAL_ENV", "/no/env"}, {"PATH", path}}));
        FAIL() << "found " << python.executable();
    } catch (const PythonInterpreterError& e) {
        EXPECT_STREQ(e.what(), "No Python interpreter found: looked for /no/env/bin/python "
                               "($VIRTUAL_ENV), python3 and python on PATH");
    }
    EXPECT_THROW(PythonInterpreter(lookup({})), PythonInterpreterError);
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
        EXPECT_EQ(interpreter.version(), version) << cfg;
        EXPECT_EQ(interpreter.prefix(), dir.path());
    }
    EXPECT_EQ(parse_python_version("3.11.7"), std::make_pair(3, 11));
    EXPECT_EQ(parse_python_version(" 3.13.0.final.0\n"), std::make_pair(3, 13));
    EXPECT_EQ(parse_python_version("3.9"), std::make_pair(3, 9));
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
    EXPECT_EQ(interpreter.version(), std::make_pair(3, 11));
    // pyenv installs each interpreter as <prefix>/bin/pythonX.Y.
    EXPECT_EQ(fs::canonical(interpreter.prefix()), fs::canonical(real).parent_path().parent_path());

    // A pyvenv.cfg without a version still makes its directory the prefix.
    test::write_file(dir.path() / "pyvenv.cfg", "home = " + real.parent_path().string() + "\n");
    interpreter = PythonInterpreter::from_executable(dir.path() / "bin" / "python3");
    EXPECT_EQ(interpreter.version(), std::make_pair(3, 11));
    EXPECT_EQ(interpreter.prefix(), dir.path());

    test::TempDir other;
    const fs::path failing = make_failing_python(other.path() / "python3");
    try {
        (void)PythonInterpreter::from_executable(failing).version();
        FAIL() << "no error";
    } catch (const PythonInterpreterError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot ask " + failing.string() + " for its version: it exited with status 1");
    }
}

} // namespace
} // namespace vorpane::engine

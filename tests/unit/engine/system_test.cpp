#include "vorpane/cli/exceptions.hpp"
#include "vorpane/engine/system.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;

// Sets (or with std::nullopt unsets) one variable of the process environment for a scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        value ? ::setenv(m_name.c_str(), value->c_str(), 1) : ::unsetenv(m_name.c_str());
    }
    ~ScopedEnv() {
        m_old ? ::setenv(m_name.c_str(), m_old->c_str(), 1) : ::unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A fake environment whose bin/<program> are the child_tool stand-in.
void add_stand_ins(const fs::path& root, const std::vector<std::string>& programs) {
    fs::create_directories(root / "bin");
    for (const auto& program : programs) {
        fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool",
                           root / "bin" / program);
    }
}

class Environment : public ::testing::Test {
  protected:
    test::ScopedHome m_home;
    fs::path m_log = m_home.root() / "children.log";
    ScopedEnv m_log_var{"CHILD_TOOL_LOG", m_log.string()};
};

TEST_F(Environment, VirtualEnvWinsOverConda) {
    ScopedEnv venv("VIRTUAL_ENV", "/opt/venv");
    ScopedEnv conda("CONDA_PREFIX", "/opt/conda");
    EXPECT_EQ(detect_virtualenv(), "/opt/venv");
}

TEST_F(Environment, EmptyVirtualEnvCountsAsUnset) {
    ScopedEnv venv("VIRTUAL_ENV", "");
    ScopedEnv conda("CONDA_PREFIX", "/opt/conda");
    EXPECT_EQ(detect_virtualenv(), "/opt/conda");
}

TEST_F(Environment, NeitherSetGivesInterpreterPrefix) {
    fs::path bin = m_home.root() / "pybin";
    fs::create_directories(bin);
    fs::create_symlink(VORPANE_PY311, bin / "python3");
    ScopedEnv path("PATH", bin.string());
    ScopedEnv conda("CONDA_PREFIX", "");
    EXPECT_EQ(fs::canonical(detect_virtualenv()),
              fs::canonical(VORPANE_PY311).parent_path().parent_path());
}

TEST_F(Environment, TrailingSeparatorKeptInDetectionDroppedInChildEnvironment) {
    ScopedEnv venv("VIRTUAL_ENV", "/opt/env/");
    EXPECT_EQ(detect_virtualenv(), "/opt/env/");
    EXPECT_EQ(_set_venv_environment().at("VIRTUAL_ENV"), "/opt/env");
}

TEST_F(Environment, ChildEnvironmentIsAFullCopyKeepingConda) {
    ScopedEnv conda("CONDA_PREFIX", "/opt/conda");
    ScopedEnv other("VORPANE_SYSTEM_TEST_OTHER", "kept");
    auto env = _set_venv_environment();
    EXPECT_EQ(env.at("VIRTUAL_ENV"), "/opt/conda");
    EXPECT_EQ(env.at("CONDA_PREFIX"), "/opt/conda");
    EXPECT_EQ(env.at("VORPANE_SYSTEM_TEST_OTHER"), "kept");
    EXPECT_EQ(env.at("HOME"), m_home.home().string());
    // The tool's own environment is left alone.
    EXPECT_EQ(std::getenv("VIRTUAL_ENV"), nullptr);
}

TEST(NormalizedPathText, PathlibRules) {
    EXPECT_EQ(normalized_path_text("/opt//env/./x/"), "/opt/env/x");
    EXPECT_EQ(normalized_path_text("a/../b"), "a/../b");
    EXPECT_EQ(normalized_path_text("./env"), "env");
    EXPECT_EQ(normalized_path_text("/"), "/");
    EXPECT_EQ(normalized_path_text(""), ".");
    EXPECT_EQ(normalized_path_text("env/."), "env");
}

TEST_F(Environment, RunCmdRefusesOtherProgramsWithoutStartingThem) {
    fs::path root = m_home.root() / "env";
    add_stand_ins(root, {"pip", "Python"});
    ScopedEnv venv("VIRTUAL_ENV", root.string());
    try {
        _run_cmd("pip");
        FAIL() << "pip was accepted";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Unsupported command: pip");
    }
    try {
        _run_cmd("Python", std::vector<std::string>{"-V"});
        FAIL() << "Python was accepted";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Unsupported command: Python");
    }
    EXPECT_FALSE(fs::exists(m_log));
    // Not even an interpreter is asked for the environment first.
    ScopedEnv no_venv("VIRTUAL_ENV", std::nullopt);
    ScopedEnv no_path("PATH", m_home.root().string());
    try {
        _run_cmd("pip");
        FAIL() << "pip was accepted";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Unsupported command: pip");
    }
}

TEST_F(Environment, RunCmdRunsEnvironmentProgramWithArgumentsAndChildEnvironment) {
    fs::path root = m_home.root() / "env";
    add_stand_ins(root, {"python", "jupyter"});
    ScopedEnv venv("VIRTUAL_ENV", root.string() + "/");
    ScopedEnv conda("CONDA_PREFIX", "/opt/conda");
    _run_cmd("python", std::vector<std::string>{"-c", "print('a b')"});
    _run_cmd("jupyter");
    EXPECT_EQ(test::read_file(m_log),
              "program:python\narg:-c\narg:print('a b')\nVIRTUAL_ENV=" + root.string() +
                  "\nCONDA_PREFIX=/opt/conda\n"
                  "program:jupyter\nVIRTUAL_ENV=" +
                  root.string() + "\nCONDA_PREFIX=/opt/conda\n");
}

TEST_F(Environment, RunCmdReportsExitCode) {
    fs::path root = m_home.root() / "env";
    add_stand_ins(root, {"python"});
    ScopedEnv venv("VIRTUAL_ENV", root.string());
    ScopedEnv code("CHILD_TOOL_EXIT_PYTHON", "2");
    try {
        _run_cmd("python");
        FAIL() << "no failure";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "python execution failed with error code 2");
    }
}

TEST_F(Environment, RunCmdMissingProgramIsASpawnError) {
    ScopedEnv venv("VIRTUAL_ENV", (m_home.root() / "empty").string());
    EXPECT_THROW(_run_cmd("ipython"), util::SpawnError);
}

// A process table given as data.
class FakeTable : public ProcessTable {
  public:
    FakeTable(int start, std::map<int, ProcessEntry> entries)
        : m_start(start), m_entries(std::move(entries)) {}
    [[nodiscard]] int start_pid() const override { return m_start; }
    [[nodiscard]] std::optional<ProcessEntry> lookup(int pid) const override {
        auto it = m_entries.find(pid);
        return it != m_entries.end() ? std::optional(it->second) : std::nullopt;
    }

  private:
    int m_start;
    std::map<int, ProcessEntry> m_entries;
};

// The tool started from `shell_names` through a uv and a python process.
FakeTable started_from(std::vector<std::string> shell_names) {
    return FakeTable(30, {{30, {20, {"uv"}}},
                          {20, {10, {"python3.11", "/usr/bin/python3.11"}}},
                          {10, {1, std::move(shell_names)}},
                          {1, {0, {"systemd"}}}});
}

TEST(ActivateScript, ShellsOfTheTable) {
    EXPECT_EQ(get_activate_script(started_from({"bash"})), "activate");
    EXPECT_EQ(get_activate_script(started_from({"-bash"})), "activate");
    EXPECT_EQ(get_activate_script(started_from({"-zsh", "-zsh", "zsh"})), "activate");
    EXPECT_EQ(get_activate_script(started_from({"fish"})), "activate.fish");
    EXPECT_EQ(get_activate_script(started_from({"csh"})), "activate.csh");
    EXPECT_EQ(get_activate_script(started_from({"nu"})), "activate.nu");
    EXPECT_EQ(get_activate_script(started_from({"pwsh"})), "activate.ps1");
    EXPECT_EQ(get_activate_script(started_from({"powershell"})), "activate.ps1");
    EXPECT_EQ(get_activate_script(started_from({"PowerShell.exe"})), "activate.ps1");
    EXPECT_EQ(get_activate_script(started_from({"cmd.exe"})), "activate.bat");
}

TEST(ActivateScript, ExecutableNameCountsWhenCommandNameDoesNot) {
    EXPECT_EQ(get_activate_script(started_from({"weird-comm", "/usr/bin/fish"})), "activate.fish");
}

TEST(ActivateScript, NearestShellWinsAndUnknownIsUnsupported) {
    FakeTable table(30, {{30, {20, {"tcsh"}}}, {20, {1, {"bash"}}}});
    try {
        get_activate_script(table);
        FAIL() << "tcsh accepted";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Unsupported shell: tcsh");
    }
}

TEST(ActivateScript, NoShellIsCouldNotDetect) {
    FakeTable cycle(5, {{5, {6, {"init"}}}, {6, {5, {"cron"}}}});
    try {
        get_activate_script(cycle);
        FAIL() << "a shell was found";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Could not detect shell.");
        EXPECT_THROW(std::rethrow_if_nested(e), ShellDetectionError);
    }
}

TEST(ProcProcessTable, ReadsOwnEntry) {
    ProcProcessTable table;
    EXPECT_EQ(table.start_pid(), static_cast<int>(::getppid()));
    auto self = table.lookup(static_cast<int>(::getpid()));
    ASSERT_TRUE(self);
    EXPECT_EQ(self->ppid, static_cast<int>(::getppid()));
    ASSERT_FALSE(self->names.empty());
    // The kernel keeps the first 15 bytes of the executable name as the command name.
    std::string exe = fs::read_symlink("/proc/self/exe").filename().string();
    EXPECT_EQ(self->names.front(), exe.substr(0, 15));
    EXPECT_FALSE(table.lookup(-1));
}

TEST(ScriptsDir, IsBin) {
    EXPECT_EQ(get_relative_scripts_dir(), "bin");
}

} // namespace
} // namespace vorpane::engine

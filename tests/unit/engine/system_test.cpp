#include "vorpane/core/errors.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/util/process.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "support/runtime.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using OptText = std::optional<std::string>;

class Environment : public ::testing::Test {
  protected:
    // A fake environment whose bin/<program> are the child_tool stand-in.
    fs::path stand_ins(const std::vector<std::string>& programs) {
        const fs::path root = m_home.root() / "env";
        fs::create_directories(root / "bin");
        for (const auto& program : programs) {
            fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool",
                               root / "bin" / program);
        }
        return root;
    }

    test::ScopedHome m_home;
    fs::path m_log = m_home.root() / "children.log";
    ScopedEnv m_log_var{"CHILD_TOOL_LOG", m_log.string()};
};

TEST_F(Environment, DetectionPrefersVirtualEnvThenCondaThenTheInterpreter) {
    struct Case {
        OptText venv;
        OptText conda;
        std::string detected;
        std::string child_venv;
    };
    for (const Case& c : {Case{"/opt/venv", "/opt/conda", "/opt/venv", "/opt/venv"},
                          Case{"", "/opt/conda", "/opt/conda", "/opt/conda"},
                          Case{std::nullopt, "/opt/conda/", "/opt/conda/", "/opt/conda"},
                          Case{"/opt/env/", std::nullopt, "/opt/env/", "/opt/env"}}) {
        ScopedEnv venv("VIRTUAL_ENV", c.venv);
        ScopedEnv conda("CONDA_PREFIX", c.conda);
        ScopedEnv other("VORPANE_SYSTEM_TEST_OTHER", "kept");
        EXPECT_EQ(detect_virtualenv(), c.detected);
        // The child gets a full copy with the normalised root; the tool's own stays as it was.
        const auto env = _set_venv_environment();
        EXPECT_EQ(env.at("VIRTUAL_ENV"), c.child_venv);
        EXPECT_EQ(env.count("CONDA_PREFIX") ? OptText(env.at("CONDA_PREFIX")) : std::nullopt,
                  c.conda);
        EXPECT_EQ(env.at("VORPANE_SYSTEM_TEST_OTHER"), "kept");
        EXPECT_EQ(std::getenv("VIRTUAL_ENV") ? OptText(std::getenv("VIRTUAL_ENV")) : std::nullopt,
                  c.venv);
    }
    const fs::path bin = m_home.root() / "pybin";
    fs::create_directories(bin);
    fs::create_symlink(VORPANE_PY311, bin / "python3");
    ScopedEnv path("PATH", bin.string());
    ScopedEnv conda("CONDA_PREFIX", "");
    EXPECT_EQ(fs::canonical(detect_virtualenv()),
              fs::canonical(VORPANE_PY311).parent_path().parent_path());

    const std::vector<std::pair<std::string, std::string>> normalised = {
        {"/opt//env/./x/", "/opt/env/x"},
        {"a/../b", "a/../b"},
        {"./env", "env"},
        {"/", "/"},
        {"", "."},
        {"env/.", "env"}};
    for (const auto& [text, expected] : normalised) {
        EXPECT_EQ(normalized_path_text(text), expected) << text;
    }
}

TEST_F(Environment, RunCmdRunsOnlyTheEnvironmentsOwnToolsWithTheChildEnvironment) {
    const fs::path root = stand_ins({"pip", "Python", "python", "jupyter"});
    ScopedEnv venv("VIRTUAL_ENV", root.string() + "/");
    ScopedEnv conda("CONDA_PREFIX", "/opt/conda");
    for (const char* refused : {"pip", "Python"}) {
        try {
            _run_cmd(test::TestRuntime().rt(), refused, std::vector<std::string>{"-V"});
            ADD_FAILURE() << refused << " was accepted";
        } catch (const core::VorpaneException& e) {
            EXPECT_EQ(e.message(), std::string("Unsupported command: ") + refused);
        }
    }
    EXPECT_FALSE(fs::exists(m_log));
    _run_cmd(test::TestRuntime().rt(), "python", std::vector<std::string>{"-c", "print('a b')"});
    _run_cmd(test::TestRuntime().rt(), "jupyter");
    EXPECT_EQ(test::read_file(m_log),
              "program:python\narg:-c\narg:print('a b')\nVIRTUAL_ENV=" + root.string() +
                  "\nCONDA_PREFIX=/opt/conda\nprogram:jupyter\nVIRTUAL_ENV=" + root.string() +
                  "\nCONDA_PREFIX=/opt/conda\n");
    {
        ScopedEnv code("CHILD_TOOL_EXIT_PYTHON", "2");
        try {
            _run_cmd(test::TestRuntime().rt(), "python");
            ADD_FAILURE() << "no failure";
        } catch (const core::VorpaneException& e) {
            EXPECT_EQ(e.message(), "python execution failed with error code 2");
        }
    }
    EXPECT_THROW(_run_cmd(test::TestRuntime().rt(), "ipython"), util::SpawnError);
    // A refused name is refused before any interpreter is looked for.
    ScopedEnv no_venv("VIRTUAL_ENV", std::nullopt);
    ScopedEnv no_conda("CONDA_PREFIX", std::nullopt);
    ScopedEnv no_path("PATH", m_home.root().string());
    try {
        _run_cmd(test::TestRuntime().rt(), "pip");
        ADD_FAILURE() << "pip was accepted";
    } catch (const core::VorpaneException& e) {
        EXPECT_EQ(e.message(), "Unsupported command: pip");
    }
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

TEST(ActivateScript, ShellFoundAboveTheToolPicksTheScript) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> shells = {
        {{"bash"}, "activate"},
        {{"-bash"}, "activate"},
        {{"-zsh", "-zsh", "zsh"}, "activate"},
        {{"fish"}, "activate.fish"},
        {{"csh"}, "activate.csh"},
        {{"nu"}, "activate.nu"},
        {{"pwsh"}, "activate.ps1"},
        {{"powershell"}, "activate.ps1"},
        {{"PowerShell.exe"}, "activate.ps1"},
        {{"cmd.exe"}, "activate.bat"},
        // The executable name counts when the command name does not.
        {{"weird-comm", "/usr/bin/fish"}, "activate.fish"},
    };
    for (const auto& [names, script] : shells) {
        // The tool started from the shell through a uv and a python process.
        const FakeTable table(30, {{30, {20, {"uv"}}},
                                   {20, {10, {"python3.11", "/usr/bin/python3.11"}}},
                                   {10, {1, names}},
                                   {1, {0, {"systemd"}}}});
        EXPECT_EQ(get_activate_script(table), script) << names.front();
    }
    try {
        get_activate_script(FakeTable(30, {{30, {20, {"tcsh"}}}, {20, {1, {"bash"}}}}));
        FAIL() << "tcsh accepted";
    } catch (const core::VorpaneException& e) {
        EXPECT_EQ(e.message(), "Unsupported shell: tcsh");
    }
    try {
        get_activate_script(FakeTable(5, {{5, {6, {"init"}}}, {6, {5, {"cron"}}}}));
        FAIL() << "a shell was found";
    } catch (const core::VorpaneException& e) {
        EXPECT_EQ(e.message(), "Could not detect shell.");
        EXPECT_THROW(std::rethrow_if_nested(e), ShellDetectionError);
    }
}

TEST(ActivateScript, ProcTableReadsTheOwnEntry) {
    ProcProcessTable table;
    EXPECT_EQ(table.start_pid(), static_cast<int>(::getppid()));
    auto self = table.lookup(static_cast<int>(::getpid()));
    ASSERT_TRUE(self);
    EXPECT_EQ(self->ppid, static_cast<int>(::getppid()));
    ASSERT_FALSE(self->names.empty());
    // The kernel keeps the first 15 bytes of the executable name as the command name.
    const std::string exe = fs::read_symlink("/proc/self/exe").filename().string();
    EXPECT_EQ(self->names.front(), exe.substr(0, 15));
    EXPECT_FALSE(table.lookup(-1));
}

} // namespace
} // namespace vorpane::engine

#include "vorpane/core/errors.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/util/redact.hpp"

#include <gtest/gtest.h>

#include "support/runtime.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

fs::path stand_in(const fs::path& dir, const std::string& program) {
    fs::create_directories(dir);
    fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool", dir / program);
    return dir / program;
}

// A throw-away HOME with a fake environment at <root>/env holding the uv stand-in, active
// through VIRTUAL_ENV, and an empty PATH directory.
class UvRunner : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(m_path_dir);
        stand_in(m_env / "bin", "uv");
    }

    test::ScopedHome m_home;
    fs::path m_env = m_home.root() / "env";
    fs::path m_path_dir = m_home.root() / "path";
    fs::path m_log = m_home.root() / "uv.log";
    ScopedEnv m_venv{"VIRTUAL_ENV", m_env.string()};
    ScopedEnv m_path{"PATH", m_path_dir.string()};
};

TEST_F(UvRunner, EnvironmentUvComesBeforePathAndMissingUvSaysWhereItLooked) {
    stand_in(m_path_dir, "uv");
    EXPECT_EQ(_find_uv_bin(test::TestRuntime().rt()), (m_env / "bin" / "uv").string());
    fs::remove(m_env / "bin" / "uv");
    EXPECT_EQ(_find_uv_bin(test::TestRuntime().rt()), (m_path_dir / "uv").string());
    fs::remove(m_path_dir / "uv");
    try {
        run_uv(test::TestRuntime().rt(), {"pip", "list"});
        FAIL() << "uv found";
    } catch (const UvNotFound& e) {
        EXPECT_EQ(std::string(e.what()),
                  "uv not found in " + (m_env / "bin").string() +
                      " or on PATH: uv must be installed (for example with \"pip install uv\")");
    }
}

TEST_F(UvRunner, CapturedRunReturnsTheOutputAndSeesTheChildEnvironment) {
    ScopedEnv conda("CONDA_PREFIX", "/opt/conda");
    CaptureStdout();
    auto done = run_uv_in_python(test::TestRuntime().rt(), {"pip", "show", "a package"}, true);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(done.returncode, 0);
    EXPECT_EQ(done.args, (std::vector<std::string>{(m_env / "bin" / "uv").string(), "pip", "show",
                                                   "a package"}));
    ASSERT_TRUE(done.out && done.err);
    EXPECT_EQ(*done.out, "arg:pip\narg:show\narg:a package\nVIRTUAL_ENV=" + m_env.string() +
                             "\nCONDA_PREFIX=/opt/conda\n");
    EXPECT_EQ(*done.err, "uv stand-in done\n");

    // With only CONDA_PREFIX set, uv gets it as both variables.
    ScopedEnv venv("VIRTUAL_ENV", std::nullopt);
    const fs::path prefix = m_home.root() / "conda";
    stand_in(prefix / "bin", "uv");
    ScopedEnv only_conda("CONDA_PREFIX", prefix.string());
    done = run_uv_in_python(test::TestRuntime().rt(), {"pip", "show", "x"}, true);
    EXPECT_EQ(done.args.front(), (prefix / "bin" / "uv").string());
    EXPECT_NE(done.out->find("VIRTUAL_ENV=" + prefix.string() +
                             "\nCONDA_PREFIX=" + prefix.string() + "\n"),
              std::string::npos);
}

TEST_F(UvRunner, UncapturedRunsShareTheStreamsAndOnlyTheInPythonFormChecksTheStatus) {
    ScopedEnv log("CHILD_TOOL_LOG", m_log.string());
    const auto done = run_uv_in_python(test::TestRuntime().rt(), {"pip", "install", "x"});
    EXPECT_FALSE(done.out);
    EXPECT_FALSE(done.err);
    ScopedEnv code("CHILD_TOOL_EXIT_UV", "2");
    EXPECT_NO_THROW(run_uv(test::TestRuntime().rt(), {"pip", "list"}));
    EXPECT_NO_THROW(run_uv_from_sysargs(test::TestRuntime().rt(), {"vorpane-uv", "--version"}));
    EXPECT_THROW(
        run_uv_in_pythonfrom_sysargs(test::TestRuntime().rt(), {"vorpane-uv", "--version"}),
        core::VorpaneUVException);
    const std::string logged = test::read_file(m_log);
    EXPECT_EQ(
        logged.rfind("program:uv\narg:pip\narg:install\narg:x\nVIRTUAL_ENV=" + m_env.string(), 0),
        0U);
    EXPECT_EQ(logged.find("arg:vorpane-uv"), std::string::npos);
}

TEST_F(UvRunner, AFailedRunCarriesItsStatusAndStderrMaskedAndEscaped) {
    ScopedEnv code("CHILD_TOOL_EXIT_UV", "2");
    struct Case {
        std::optional<std::string> err;
        bool capture;
        std::string cause;
    };
    for (const Case& c : {
             Case{"Resolved\nerror: \x1b]0;owned\x07 at https://u:pw@h/x \xff\n\n", true,
                  "uv exited with status 2: error: \\x1b]0;owned\\x07 at https://u:****@h/x "
                  "\\xff"},
             Case{std::nullopt, true, "uv exited with status 2: uv stand-in done"},
             Case{"ignored\n", false, "uv exited with status 2"},
         }) {
        std::optional<ScopedEnv> err;
        if (c.err) {
            err.emplace("CHILD_TOOL_ERR", *c.err);
        }
        try {
            (void)run_uv_in_python(test::TestRuntime().rt(), {"pip", "show", "a\x1b[2J\u009bb"},
                                   c.capture);
            ADD_FAILURE() << "no exception";
        } catch (const core::VorpaneUVException& e) {
            EXPECT_EQ(e.message(), "Error running uv with ('pip', 'show', 'a\\x1b[2J\\x9bb')");
            try {
                std::rethrow_if_nested(e);
                ADD_FAILURE() << "no cause";
            } catch (const UvFailed& cause) {
                EXPECT_EQ(cause.returncode(), 2);
                EXPECT_EQ(std::string(cause.what()), c.cause);
            }
        }
    }
}

} // namespace
} // namespace vorpane::engine

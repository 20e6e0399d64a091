#include "vorpane/core/errors.hpp"
#include "vorpane/engine/uv.hpp"

#include <gtest/gtest.h>

#include "support/runtime.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

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
    ScopedEnv m_venv{"VIRTUAL_ENV", m_env.string()};
    ScopedEnv m_path{"PATH", m_path_dir.string()};
};

TEST_F(UvRunner, MissingUvSaysWhereItLooked) {
    fs::remove(m_env / "bin" / "uv");
    try {
        (void)test::TestRuntime().rt().target.uv();
        FAIL() << "uv found";
    } catch (const UvNotFound& e) {
        EXPECT_EQ(std::string(e.what()),
                  "uv not found in " + (m_env / "bin").string() +
                      " or on PATH: uv must be installed (for example with \"pip install uv\")");
    }
}

TEST_F(UvRunner, AFailedRunCarriesItsStatusAndTheArgumentsEscaped) {
    ScopedEnv code("CHILD_TOOL_EXIT_UV", "2");
    ScopedEnv log("CHILD_TOOL_LOG", (m_home.root() / "uv.log").string());
    try {
        (void)run_uv_in_python(test::TestRuntime().rt(), {"pip", "show", "a\x1b[2J\u009bb"});
        ADD_FAILURE() << "no exception";
    } catch (const core::VorpaneUVException& e) {
        EXPECT_EQ(e.message(), "Error running uv with ('pip', 'show', 'a\\x1b[2J\\x9bb')");
        try {
            std::rethrow_if_nested(e);
            ADD_FAILURE() << "no cause";
        } catch (const UvFailed& cause) {
            EXPECT_EQ(cause.returncode(), 2);
            EXPECT_EQ(std::string(cause.what()), "uv exited with status 2");
        }
    }
}

} // namespace
} // namespace vorpane::engine

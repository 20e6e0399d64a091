#include "vorpane/cli/exceptions.hpp"
#include "vorpane/engine/mkl.hpp"

#include <gtest/gtest.h>

#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

void touch(const fs::path& path) {
    test::write_file(path, "ELF");
}

TEST(MklLinkTarget, LowestVersionFromOneToFivePresentWins) {
    test::TempDir dir;
    const fs::path lib = dir.path() / "lib";
    EXPECT_EQ(find_mkl_link_target(lib, false), std::nullopt);
    touch(lib / "libmkl_rt.so.6");
    fs::create_symlink("gone", lib / "libmkl_rt.so.3");
    EXPECT_EQ(find_mkl_link_target(lib, false), std::nullopt);
    touch(lib / "libmkl_rt.so.5");
    EXPECT_EQ(find_mkl_link_target(lib, false), "libmkl_rt.so.5");
    touch(lib / "libmkl_rt.so.2");
    touch(lib / "libmkl_rt.so.4");
    EXPECT_EQ(find_mkl_link_target(lib, false), "libmkl_rt.so.2");

    // The Windows layout has its own directory and names.
    const fs::path bin = dir.path() / mkl_layout(true).libdir;
    EXPECT_EQ(bin, dir.path() / "Library" / "bin");
    EXPECT_EQ(mkl_layout(true).link_name, "mkl_rt.dll");
    touch(bin / "mkl_rt.2.dll");
    touch(bin / "libmkl_rt.so.1");
    EXPECT_EQ(find_mkl_link_target(bin, true), "mkl_rt.2.dll");
    EXPECT_EQ(find_mkl_link_target(bin, false), "libmkl_rt.so.1");
}

// A fake environment with the python and uv stand-ins; the probe answers through
// CHILD_TOOL_EXIT_PYTHON (0: "mkl" installed).
class Mkl : public ::testing::Test {
  protected:
    test::ScopedHome m_home;
    fs::path m_env = m_home.root() / "env";
    fs::path m_lib = m_env / "lib";
    fs::path m_bin = m_env / "Library" / "bin";
    fs::path m_log = m_home.root() / "children.log";
    ScopedEnv m_venv{"VIRTUAL_ENV", m_env.string()};
    ScopedEnv m_log_var{"CHILD_TOOL_LOG", m_log.string()};

    void SetUp() override {
        fs::create_directories(m_env / "bin");
        fs::create_directories(m_lib);
        for (const char* program : {"python", "uv"}) {
            fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool",
                               m_env / "bin" / program);
        }
    }

    // Runs `step` and returns what it printed, also when it throws.
    template <class Step> std::string printed(Step step) {
        CaptureStdout();
        try {
            step();
        } catch (...) {
            GetCapturedStdout();
            throw;
        }
        return GetCapturedStdout();
    }
    std::string ensure() {
        return printed([] { ensure_mkl_in_environment([] { return std::string("https://i"); }); });
    }
};

TEST_F(Mkl, FailuresCreateNoLink) {
    touch(m_lib / "libmkl_rt.so.6");
    try {
        ensure();
        FAIL() << "no failure";
    } catch (const MklNotFound& e) {
        EXPECT_STREQ(e.what(), "MKL RT not found.");
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    touch(m_lib / "libmkl_rt.so.2");
    {
        ScopedEnv absent("CHILD_TOOL_EXIT_PYTHON", "1");
        ScopedEnv broken("CHILD_TOOL_EXIT_UV", "1");
        EXPECT_THROW(ensure(), VorpaneUVException);
    }
    EXPECT_FALSE(fs::is_symlink(m_lib / "libmkl_rt.so"));
    // A dangling unversioned link is in the way, not replaced.
    fs::create_symlink("libmkl_rt.so.9", m_lib / "libmkl_rt.so");
    EXPECT_THROW(printed(_create_mkl_symlinks_posix), fs::filesystem_error);
    EXPECT_EQ(fs::read_symlink(m_lib / "libmkl_rt.so"), "libmkl_rt.so.9");
}

TEST_F(Mkl, WindowsLinkLayoutAndPrivilegeMessage) {
    touch(m_bin / "mkl_rt.2.dll");
    EXPECT_EQ(printed(_create_mkl_symlinks_windows),
              "Creating symlink " + (m_bin / "mkl_rt.dll").string() + " to mkl_rt.2.dll\n");
    EXPECT_EQ(fs::read_symlink(m_bin / "mkl_rt.dll"), "mkl_rt.2.dll");
    fs::remove(m_bin / "mkl_rt.dll");
    fs::create_symlink("elsewhere.dll", m_bin / "mkl_rt.dll");
    try {
        printed(_create_mkl_symlinks_windows);
        FAIL() << "no failure";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Permission denied to create symlink. Please activate `Security "
                               "Settings\\Local Policies\\User Rights Assignment\\Create symbolic "
                               "links`");
        EXPECT_THROW(std::rethrow_if_nested(e), fs::filesystem_error);
    }
}

} // namespace
} // namespace vorpane::engine

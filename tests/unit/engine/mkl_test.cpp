#include "vorpane/cli/exceptions.hpp"
#include "vorpane/engine/mkl.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

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

void touch(const fs::path& path) {
    test::write_file(path, "ELF");
}

TEST(MklLinkTarget, LowestVersionPresentWins) {
    test::TempDir dir;
    touch(dir.path() / "libmkl_rt.so.2");
    EXPECT_EQ(find_mkl_link_target(dir.path(), false), "libmkl_rt.so.2");
    touch(dir.path() / "libmkl_rt.so.5");
    touch(dir.path() / "libmkl_rt.so.1");
    EXPECT_EQ(find_mkl_link_target(dir.path(), false), "libmkl_rt.so.1");
}

TEST(MklLinkTarget, VersionsOutsideOneToFiveAndDanglingLinksDoNotCount) {
    test::TempDir dir;
    touch(dir.path() / "libmkl_rt.so.6");
    fs::create_symlink("gone", dir.path() / "libmkl_rt.so.3");
    EXPECT_EQ(find_mkl_link_target(dir.path(), false), std::nullopt);
    EXPECT_EQ(find_mkl_link_target(dir.path() / "missing", false), std::nullopt);
}

TEST(MklLinkTarget, WindowsLayoutIsItsOwn) {
    test::TempDir dir;
    fs::path bin = dir.path() / mkl_layout(true).libdir;
    EXPECT_EQ(bin, dir.path() / "Library" / "bin");
    touch(bin / "mkl_rt.2.dll");
    touch(bin / "libmkl_rt.so.1");
    EXPECT_EQ(find_mkl_link_target(bin, true), "mkl_rt.2.dll");
    EXPECT_EQ(find_mkl_link_target(bin, false), "libmkl_rt.so.1");
    EXPECT_EQ(mkl_layout(true).link_name, "mkl_rt.dll");
    EXPECT_EQ(mkl_layout(false).link_name, "libmkl_rt.so");
    EXPECT_EQ(mkl_layout(false).libdir, fs::path("lib"));
}

// A fake environment with the python and uv stand-ins; the probe answers through
// CHILD_TOOL_EXIT_PYTHON (0: "mkl" installed).
class Mkl : public ::testing::Test {
  protected:
    test::ScopedHome m_home;
    fs::path m_env = m_home.root() / "env";
    fs::path m_lib = m_env / "lib";
    fs::path m_log = m_home.root() / "children.log";
    ScopedEnv m_venv{"VIRTUAL_ENV", m_env.string()};
    ScopedEnv m_log_var{"CHILD_TOOL_LOG", m_log.string()};
    IndexLocator m_locate = [] { return std::string("https://idx.example/simple"); };

    void SetUp() override {
        fs::create_directories(m_env / "bin");
        fs::create_directories(m_lib);
        for (const char* program : {"python", "uv"}) {
            fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool",
                               m_env / "bin" / program);
        }
    }

    std::string ensure() {
        CaptureStdout();
        try {
            ensure_mkl_in_environment(m_locate);
        } catch (...) {
            GetCapturedStdout();
            throw;
        }
        return GetCapturedStdout();
    }
};

TEST_F(Mkl, PresentAndLinkedSaysSoAndDoesNothingElse) {
    touch(m_lib / "libmkl_rt.so.2");
    fs::create_symlink("libmkl_rt.so.2", m_lib / "libmkl_rt.so");
    EXPECT_EQ(ensure(), "MKL library already installed / available in " + m_env.string() + ".\n");
    EXPECT_EQ(fs::read_symlink(m_lib / "libmkl_rt.so"), "libmkl_rt.so.2");
}

TEST_F(Mkl, PresentWithVersionedLibraryOnlyGetsRelativeLink) {
    touch(m_lib / "libmkl_rt.so.2");
    EXPECT_EQ(ensure(), "MKL library already installed / available in " + m_env.string() +
                            ".\nCreating symlink " + (m_lib / "libmkl_rt.so").string() +
                            " to libmkl_rt.so.2\n");
    EXPECT_EQ(fs::read_symlink(m_lib / "libmkl_rt.so"), "libmkl_rt.so.2");
    // The probe ran the environment's python with the metadata lookup.
    EXPECT_NE(
        test::read_file(m_log).find("program:python\narg:-c\narg:from importlib.metadata import "
                                    "distribution;distribution('mkl')\n"),
        std::string::npos);
    // A second run finds everything in place.
    EXPECT_EQ(ensure(), "MKL library already installed / available in " + m_env.string() + ".\n");
}

TEST_F(Mkl, AbsentIsInstalledFromPrivateIndexThenLinked) {
    ScopedEnv absent("CHILD_TOOL_EXIT_PYTHON", "1");
    touch(m_lib / "libmkl_rt.so.2");
    touch(m_lib / "libmkl_rt.so.1");
    EXPECT_EQ(ensure(), "MKL library not found. Installing MKL via pip.\n"
                        "Installing MKL via pip.\n"
                        "Creating symlink " +
                            (m_lib / "libmkl_rt.so").string() + " to libmkl_rt.so.1\n");
    std::string log = test::read_file(m_log);
    EXPECT_NE(log.find("program:uv\narg:pip\narg:install\narg:mkl\narg:--upgrade-package\narg:mkl\n"
                       "arg:--index-url\narg:https://idx.example/simple\nVIRTUAL_ENV="),
              std::string::npos);
    EXPECT_LT(log.find("program:python"), log.find("program:uv"));
}

TEST_F(Mkl, FailedInstallCreatesNoLink) {
    ScopedEnv absent("CHILD_TOOL_EXIT_PYTHON", "1");
    ScopedEnv broken("CHILD_TOOL_EXIT_UV", "1");
    touch(m_lib / "libmkl_rt.so.2");
    EXPECT_THROW(ensure(), VorpaneUVException);
    EXPECT_FALSE(fs::is_symlink(m_lib / "libmkl_rt.so"));
}

TEST_F(Mkl, NoVersionedLibraryIsFileNotFound) {
    touch(m_lib / "libmkl_rt.so.6");
    try {
        ensure();
        FAIL() << "no failure";
    } catch (const MklNotFound& e) {
        EXPECT_STREQ(e.what(), "MKL RT not found.");
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_FALSE(fs::is_symlink(m_lib / "libmkl_rt.so"));
}

TEST_F(Mkl, DanglingUnversionedLinkMakesLinkCreationFail) {
    touch(m_lib / "libmkl_rt.so.2");
    fs::create_symlink("libmkl_rt.so.9", m_lib / "libmkl_rt.so");
    CaptureStdout();
    EXPECT_THROW(_create_mkl_symlinks_posix(), fs::filesystem_error);
    EXPECT_EQ(GetCapturedStdout(),
              "Creating symlink " + (m_lib / "libmkl_rt.so").string() + " to libmkl_rt.so.2\n");
}

TEST_F(Mkl, WindowsLinkLayout) {
    fs::path bin = m_env / "Library" / "bin";
    touch(bin / "mkl_rt.2.dll");
    CaptureStdout();
    _create_mkl_symlinks_windows();
    EXPECT_EQ(GetCapturedStdout(),
              "Creating symlink " + (bin / "mkl_rt.dll").string() + " to mkl_rt.2.dll\n");
    EXPECT_EQ(fs::read_symlink(bin / "mkl_rt.dll"), "mkl_rt.2.dll");
}

TEST_F(Mkl, WindowsLinkFailureAsksForPrivilege) {
    fs::path bin = m_env / "Library" / "bin";
    touch(bin / "mkl_rt.1.dll");
    fs::create_symlink("elsewhere.dll", bin / "mkl_rt.dll");
    CaptureStdout();
    try {
        _create_mkl_symlinks_windows();
        ADD_FAILURE() << "no failure";
    } catch (const VorpaneException& e) {
        EXPECT_EQ(e.message(), "Permission denied to create symlink. Please activate `Security "
                               "Settings\\Local Policies\\User Rights Assignment\\Create symbolic "
                               "links`");
        EXPECT_THROW(std::rethrow_if_nested(e), fs::filesystem_error);
    }
    GetCapturedStdout();
}

} // namespace
} // namespace vorpane::engine

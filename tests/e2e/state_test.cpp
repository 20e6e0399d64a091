// The tool's own state: a broken configuration file, no Python at all, and files or a directory
// that another user could read or plant.

#include "vorpane/config/cache.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;
using StateTest = E2ETest;

TEST_F(StateTest, StatusReportsABrokenConfigurationAndLogoutRemovesOnlyFiles) {
    const std::string file = config_file().string();
    const std::string invalid = "which held no usable profile", link = " is a symbolic link to ";
    const struct {
        std::function<void()> make;
        std::string reason; // in every report of the file; empty when the file is fine
        std::string logout; // logout's error, or the line it prints
        bool stays;
    } cases[] = {
        {[&] { write_file(file, "[profile\n"); }, "line 1", invalid, false},
        {[&] { fs::create_directories(file + "/sub"); }, "Is a directory",
         file + " is a directory; it was not removed", true},
        {[&] { fs::create_symlink("gone", file); }, "No such file",
         file + link + "gone; it was neither followed nor removed", true},
        {[&] { write_file(file, std::string((1 << 20) + 1, '#')); }, "larger than 1 MiB", invalid,
         false},
        {[&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, "it is a FIFO, not a regular file",
         invalid, false},
        {[&] { fs::create_symlink("/dev/zero", file); }, "it is a device, not a regular file",
         file + link, true},
        {[&] { init_demo_profile(); }, "", "Removed the stored profile (" + file + ").", false},
    };
    for (const auto& c : cases) {
        fs::remove_all(m_home.config_dir());
        fs::create_directories(m_home.config_dir());
        c.make();
        auto r = vorpane({"modules"}, "", false, 20);
        EXPECT_EQ(r.status, c.reason.empty() ? 0 : 1) << c.reason;
        EXPECT_THAT(r.err, HasSubstr(c.reason));
        r = vorpane({"status"});
        EXPECT_EQ(r.status, c.reason.empty() ? 0 : 1) << r.err;
        EXPECT_THAT(r.out, AllOf(HasSubstr("Configuration file:  " + file), HasSubstr(c.reason)));
        EXPECT_THAT(r.err, HasSubstr(c.reason));
        EXPECT_EQ(lines_in(r.err), c.reason.empty() ? 0 : 1) << r.err;
        const auto doc = nlohmann::json::parse(vorpane({"status", "--json"}).out);
        EXPECT_EQ(doc["config_problem"].is_null(), c.reason.empty());
        EXPECT_THAT(doc["config_problem"].dump(), HasSubstr(c.reason));
        r = vorpane({"logout"});
        EXPECT_EQ(r.status, c.stays ? 1 : 0) << r.err;
        EXPECT_THAT(c.stays ? r.err : r.out, HasSubstr(c.logout));
        EXPECT_EQ(fs::exists(fs::symlink_status(file)), c.stays);
    }
}

TEST_F(StateTest, WithoutPythonOnlyTheCommandsThatNeedItFail) {
    m_env.erase("VIRTUAL_ENV");
    m_env["PATH"] = m_home.root().string();
    init_demo_profile();
    auto r = vorpane({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("Environment:         not found: No Python interpreter found"));
    EXPECT_EQ(r.err, "Error: not ready: no Python environment was found; uv was not found\n");
    for (const Args& args :
         {Args{"--help"}, {"--version"}, {"download-examples", "--list-available"}, {"logout"}}) {
        r = vorpane(args);
        EXPECT_EQ(r.status, 0) << args[0] << r.err;
        EXPECT_EQ(r.err, "") << args[0];
    }
    r = vorpane({"modules"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("No Python interpreter found"));
}

// Run as root (as the suite runs in CI), the files are handed to nobody (uid 65534).
TEST_F(StateTest, StateOfAnotherUserOrOpenToOthersStopsEveryCommandUntouched) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand files to another user";
    }
    const fs::path dir = m_home.config_dir();
    const fs::path cache = dir / "cache.sqlite3", lock = dir / "cache.lock";
    auto problem = [](const fs::path& path, const std::string& owner, const std::string& fix) {
        return path.string() + " is owned by uid " + owner + "; it must belong to you (uid 0)" +
               fix + path.string();
    };
    const std::string mine = ": chown 0 ", dir_fix = " and not be writable by others: ";
    const struct {
        fs::path path;
        uid_t owner;
        unsigned mode;
        std::string problem;
    } cases[] = {
        {dir, 0, 0777, problem(dir, "0 with mode 0777", dir_fix + "chmod go-w ")},
        {dir, 65534, 0700, problem(dir, "65534 with mode 0700", dir_fix + "chown 0 ")},
        {config_file(), 65534, 0600, problem(config_file(), "65534 with mode 0600", mine)},
        {cache, 65534, 0644, problem(cache, "65534 with mode 0644", mine)},
        {lock, 65534, 0600, problem(lock, "65534 with mode 0600", mine)},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir);
        init_demo_profile();
        config::ResultCache{dir}; // an empty store, so that a listing takes the lock
        write_file(lock, "");
        ASSERT_EQ(::chown(c.path.c_str(), c.owner, c.owner), 0);
        fs::permissions(c.path, fs::perms(c.mode));
        const auto before = read_tree(dir);
        sandbox().clear_log();
        auto r = vorpane({"modules"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: " + c.problem + "\n");
        EXPECT_TRUE(sandbox().requests().empty()) << "nothing fetched, so nothing to store";
        r = vorpane({"status"});
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("Error: not ready: " + c.problem));
        EXPECT_EQ(lines_in(r.err), 1) << r.err;
        if (c.path == dir || c.path == config_file()) {
            EXPECT_EQ(vorpane({"logout"}).err, "Error: " + c.problem + "\n");
        }
        EXPECT_EQ(read_tree(dir), before);
    }
}

} // namespace
} // namespace vorpane::test

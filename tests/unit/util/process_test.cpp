#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/core/signals.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/signals.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/temp_home.hpp"

namespace vorpane::util {
namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

const std::string k_child = std::string(VORPANE_TEST_HELPERS_DIR) + "/child_tool";
const Env k_env = {{"PATH", "/usr/bin:/bin"}};

ProcessResult capture(const std::vector<std::string>& argv, const Env& env = k_env) {
    ProcessOptions options;
    options.capture = true;
    return run_process(argv, env, options);
}

TEST(ProcessCapture, BothStreamsOfTenMegabytesArriveIntact) {
    const long long size = 10LL * 1024 * 1024;
    auto result = capture({k_child, "streams", std::to_string(size)});
    ASSERT_EQ(result.returncode, 0);
    ASSERT_TRUE(result.out && result.err);
    ASSERT_EQ(result.out->size(), static_cast<size_t>(size));
    ASSERT_EQ(result.err->size(), static_cast<size_t>(size));
    for (long long i = 0; i < size; i += 4099) {
        ASSERT_EQ((*result.out)[i], static_cast<char>('a' + i % 26)) << "at " << i;
        ASSERT_EQ((*result.err)[i], static_cast<char>('0' + i % 10)) << "at " << i;
    }
    EXPECT_EQ(result.out->back(), static_cast<char>('a' + (size - 1) % 26));
}

TEST(ProcessCapture, ArgumentsAndEnvironmentReachTheChildUnchanged) {
    const std::vector<std::string> args = {"with space", "", "quote'\"", "new\nline", "$HOME", "*"};
    std::vector<std::string> argv = {k_child, "args"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string expected;
    for (const auto& a : args) {
        expected += a + '\0';
    }
    EXPECT_EQ(*capture(argv).out, expected);

    ::setenv("VORPANE_PROCESS_TEST_LEAK", "leaked", 1);
    Env env = k_env;
    env["GIVEN"] = "value=with=equals";
    EXPECT_EQ(*capture({k_child, "env", "GIVEN"}, env).out, "value=with=equals");
    EXPECT_EQ(*capture({k_child, "env", "VORPANE_PROCESS_TEST_LEAK"}, env).out, "<unset>");
    EXPECT_EQ(vorpane::config::process_environment().at("VORPANE_PROCESS_TEST_LEAK"), "leaked");
    ::unsetenv("VORPANE_PROCESS_TEST_LEAK");
}

TEST(ProcessStatus, DiscardSendsOutputToDevNullAndKeepsNoBuffers) {
    // Point our own stdout at a file: a child that inherited it would write there.
    test::TempDir dir;
    const fs::path file = dir.path() / "out.txt";
    fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    ProcessOptions options;
    options.discard = true;
    const auto discarded = run_process({k_child, "args", "visible?"}, k_env, options);
    run_process({k_child, "args", "inherited"}, k_env);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_EQ(test::read_file(file), std::string("inherited") + '\0');
    EXPECT_FALSE(discarded.out || discarded.err);
}

TEST(ProcessSpawn, FailuresReportThePosixSpawnError) {
    test::TempDir dir;
    const fs::path script = dir.path() / "uv";
    test::write_file(script, "#!/bin/sh\n");
    fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"/nonexistent/dir/uv", ENOENT, "No such file or directory"},
        {script.string(), EACCES, "Permission denied"}};
    for (const auto& [program, code, reason] : cases) {
        try {
            run_process({program, "pip"}, k_env);
            ADD_FAILURE() << "no SpawnError for " << program;
        } catch (const SpawnError& e) {
            EXPECT_EQ(e.code(), code);
            EXPECT_EQ(std::string(e.what()), "cannot run " + program + ": " + reason);
        }
    }
}

TEST(ProcessSignals, InterruptWhileAChildRunsWaitsForItThenAborts) {
    core::install_signal_handlers();
    // The child sends SIGINT to us, as the terminal would to the whole group, then dies of it.
    EXPECT_THROW(run_process({k_child, "interrupt-parent"}, k_env), Interrupted);
    // The next child starts with a clean slate.
    EXPECT_EQ(run_process({k_child, "exit", "0"}, k_env).returncode, 0);
    // A closed pipe is an error to handle, not a signal that ends the tool.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    errno = 0;
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
}

TEST(ProcessSignalsDeathTest, InterruptWithoutAChildPrintsAbortedAndExitsOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            core::install_signal_handlers();
            ::raise(SIGINT);
        },
        ::testing::ExitedWithCode(1), "Aborted!");
}

} // namespace
} // namespace vorpane::util

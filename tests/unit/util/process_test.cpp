#include "vorpane/cli/exceptions.hpp"
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

const std::string k_child = std::string(VORPANE_TEST_HELPERS_DIR) + "/child_tool";

std::map<std::string, std::string> minimal_env() {
    return {{"PATH", "/usr/bin:/bin"}};
}

ProcessResult capture(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env = minimal_env()) {
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

TEST(ProcessCapture, ArgumentsPassUnchangedOneEach) {
    std::vector<std::string> args = {"with space", "", "quote'\"", "new\nline", "$HOME", "*"};
    std::vector<std::string> argv = {k_child, "args"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = capture(argv);
    std::string expected;
    for (const auto& a : args) {
        expected += a;
        expected.push_back('\0');
    }
    EXPECT_EQ(*result.out, expected);
}

TEST(ProcessCapture, ChildSeesExactlyTheGivenEnvironment) {
    ::setenv("VORPANE_PROCESS_TEST_LEAK", "leaked", 1);
    auto env = minimal_env();
    env["GIVEN"] = "value=with=equals";
    EXPECT_EQ(*capture({k_child, "env", "GIVEN"}, env).out, "value=with=equals");
    EXPECT_EQ(*capture({k_child, "env", "VORPANE_PROCESS_TEST_LEAK"}, env).out, "<unset>");
    ::unsetenv("VORPANE_PROCESS_TEST_LEAK");
}

TEST(ProcessCapture, WorkingDirectoryOption) {
    test::TempDir dir;
    ProcessOptions options;
    options.capture = true;
    options.cwd = dir.path();
    auto result = run_process({k_child, "cwd"}, minimal_env(), options);
    EXPECT_EQ(fs::canonical(*result.out), fs::canonical(dir.path()));
}

TEST(ProcessCapture, ProgramWithoutSlashIsFoundOnTheChildPath) {
    auto env = minimal_env();
    env["PATH"] = std::string("/nonexistent:") + VORPANE_TEST_HELPERS_DIR;
    auto result = capture({"child_tool", "exit", "5"}, env);
    EXPECT_EQ(result.returncode, 5);
}

TEST(ProcessStatus, ExitCodeIsReturned) {
    EXPECT_EQ(run_process({k_child, "exit", "3"}, minimal_env()).returncode, 3);
    EXPECT_EQ(run_process({k_child, "exit", "0"}, minimal_env()).returncode, 0);
}

TEST(ProcessStatus, SignalGivesMinusSignalNumber) {
    EXPECT_EQ(run_process({k_child, "signal", "15"}, minimal_env()).returncode, -15);
    EXPECT_EQ(run_process({k_child, "signal", "9"}, minimal_env()).returncode, -9);
}

TEST(ProcessStatus, NotCapturedMeansNoBuffers) {
    ProcessOptions options;
    options.discard = true;
    auto result = run_process({k_child, "streams", "1000"}, minimal_env(), options);
    EXPECT_EQ(result.returncode, 0);
    EXPECT_FALSE(result.out);
    EXPECT_FALSE(result.err);
}

TEST(ProcessStatus, DiscardSendsOutputToDevNull) {
    // Point our own stdout at a file: a child that inherited it would write there.
    test::TempDir dir;
    fs::path file = dir.path() / "out.txt";
    fflush(stdout);
    int saved = ::dup(STDOUT_FILENO);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    ProcessOptions options;
    options.discard = true;
    run_process({k_child, "args", "visible?"}, minimal_env(), options);
    run_process({k_child, "args", "inherited"}, minimal_env());
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_EQ(test::read_file(file), std::string("inherited") + '\0');
}

TEST(ProcessSpawn, MissingProgramReportsPosixSpawnError) {
    try {
        run_process({"/nonexistent/dir/uv", "pip"}, minimal_env());
        FAIL() << "no SpawnError";
    } catch (const SpawnError& e) {
        EXPECT_STREQ(e.what(), "cannot run /nonexistent/dir/uv: No such file or directory");
        EXPECT_EQ(e.code(), ENOENT);
    }
}

TEST(ProcessSpawn, NonExecutableFileReportsPermissionDenied) {
    test::TempDir dir;
    fs::path script = dir.path() / "uv";
    test::write_file(script, "#!/bin/sh\n");
    fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
    try {
        run_process({script.string()}, minimal_env());
        FAIL() << "no SpawnError";
    } catch (const SpawnError& e) {
        EXPECT_EQ(e.code(), EACCES);
        EXPECT_EQ(std::string(e.what()), "cannot run " + script.string() + ": Permission denied");
    }
}

TEST(ProcessSpawn, EmptyArgumentListIsRejected) {
    EXPECT_THROW(run_process({}, minimal_env()), std::invalid_argument);
}

TEST(ProcessLookup, FindExecutableSkipsPlainFilesAndHonoursOrder) {
    test::TempDir dir;
    fs::path first = dir.path() / "a";
    fs::path second = dir.path() / "b";
    test::write_file(first / "tool", "not executable");
    test::write_file(second / "tool", "#!/bin/sh\n");
    fs::permissions(second / "tool", fs::perms::owner_all);
    auto found = find_executable("tool", first.string() + ":" + second.string());
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, second / "tool");
    EXPECT_FALSE(find_executable("tool", first.string()));
}

TEST(ProcessLookup, CurrentEnvironmentCopiesVariables) {
    ::setenv("VORPANE_PROCESS_TEST_COPY", "a=b", 1);
    auto env = current_environment();
    EXPECT_EQ(env["VORPANE_PROCESS_TEST_COPY"], "a=b");
    ::unsetenv("VORPANE_PROCESS_TEST_COPY");
}

TEST(ProcessSignals, InterruptWhileChildRunsWaitsThenAborts) {
    install_signal_handlers();
    // The child sends SIGINT to us, as the terminal would to the whole group, then dies of it.
    EXPECT_THROW(run_process({k_child, "interrupt-parent"}, minimal_env()), Aborted);
    // The next child starts with a clean slate.
    EXPECT_EQ(run_process({k_child, "exit", "0"}, minimal_env()).returncode, 0);
}

TEST(ProcessSignals, SigpipeIsIgnoredAfterInstall) {
    install_signal_handlers();
    std::array<int, 2> fds{};
    ASSERT_EQ(::pipe(fds.data()), 0);
    ::close(fds[0]);
    errno = 0;
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
}

TEST(ProcessSignalsDeathTest, InterruptWithoutChildPrintsAbortedAndExitsOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            install_signal_handlers();
            ::raise(SIGINT);
        },
        ::testing::ExitedWithCode(1), "Aborted!");
}

} // namespace
} // namespace vorpane::util

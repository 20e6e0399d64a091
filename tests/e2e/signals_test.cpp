// Signal drills: SIGINT, SIGTERM, SIGHUP and SIGQUIT end a run in order wherever they land.
#include "vorpane/util/signals.hpp"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;

// What a run ended by `signo` reports to its parent.
int status_after(int signo) {
    return signo == SIGINT ? 1 : 128 + signo;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// True while `pid` is a process that has not ended (a zombie waiting for its reaper has).
bool running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] != 'Z';
}

// Polls `ready` until it holds or twenty seconds have gone; its last answer.
bool wait_for(const std::function<bool()>& ready) {
    for (int tick = 0; tick < 1000 && !ready(); ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

class SignalsTest : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        m_tmp = m_home.root() / "tmp";
        fs::create_directories(m_tmp);
        m_env["TMPDIR"] = m_tmp.string();
    }
    fs::path m_tmp;
};

TEST_F(SignalsTest, AtTheSecretPromptTheTerminalEchoesAgain) {
    const std::string drive = std::string(VORPANE_SOURCE_DIR) + "/sandbox/pty_drive.py";
    RunOptions options;
    options.env = m_env;
    for (int signo : util::SHUTDOWN_SIGNALS) {
        // SIGINT as the terminal sends it for Ctrl-C; the others as a CI runner or kill would.
        const std::string send =
            signo == SIGINT ? "\\x03" : std::string("!SIG") + ::sigabbrev_np(signo);
        auto r = run_program({VORPANE_PY311, drive, "token id: ", "my-id\\n",
                              "token secret: ", send, "--", VORPANE_BINARY, "init"},
                             options);
        EXPECT_EQ(r.status, status_after(signo)) << r.out;
        EXPECT_EQ(r.out.find("Aborted!") != std::string::npos, signo == SIGINT) << r.out;
        EXPECT_TRUE(r.out.ends_with("ECHO=on\n")) << send << r.out;
        EXPECT_TRUE(names_in(m_tmp).empty()) << send;
    }
}

TEST_F(SignalsTest, WhileUvOrADownloadRunsNothingIsLeftBehind) {
    init_demo_profile();
    // uv's install sleeps in a background job of its own, the way a tool's helper would, and
    // writes down its process, that job and the netrc it was given.
    const fs::path pids = m_home.root() / "uv.pids";
    write_file(m_venv / "bin" / "uv",
               "#!/bin/sh\ncase \"$2\" in install) sleep 60 & echo \"$$ $! $NETRC\" > " +
                   pids.string() + "; wait;; esac\nexec " + (sandbox().bin_dir() / "uv").string() +
                   " \"$@\"\n");
    fs::permissions(m_venv / "bin" / "uv", fs::perms::owner_all);
    const fs::path examples = m_home.root() / "ex";
    fs::create_directories(examples);
    auto account = sandbox().demo_account();
    account["faults"] = {{"examples", {{"trickle", 0.2}}}};
    sandbox().write_account(account);

    struct Phase {
        std::string name;
        Args args;
        std::function<bool(pid_t)> ready;
    };
    const Phase phases[] = {
        {"uv", {"install", "zel-baz", "-y"}, [&](pid_t) { return fs::exists(pids); }},
        // The download spools into an unnamed file in the download directory.
        {"download",
         {"download-examples", "--download-dir", examples.string()},
         [&](pid_t pid) {
             std::error_code ec;
             for (const auto& fd :
                  fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
                 if (fs::read_symlink(fd, ec).string().starts_with(examples.string() + "/")) {
                     return true;
                 }
             }
             return false;
         }},
    };
    for (const auto& phase : phases) {
        for (int signo : util::SHUTDOWN_SIGNALS) {
            SCOPED_TRACE(phase.name + " " + ::sigabbrev_np(signo));
            fs::remove(pids);
            const fs::path stem = m_home.root() / "run";
            Args argv = {VORPANE_BINARY};
            argv.insert(argv.end(), phase.args.begin(), phase.args.end());
            const pid_t pid = start_program(argv, m_env, stem);
            const bool ready = wait_for([&] { return phase.ready(pid); });
            ::kill(pid, signo);
            EXPECT_EQ(wait_program(pid), status_after(signo));
            ASSERT_TRUE(ready) << read_file(stem.string() + ".err");
            EXPECT_EQ(read_file(stem.string() + ".err").find("Aborted!") != std::string::npos,
                      signo == SIGINT);
            EXPECT_TRUE(names_in(m_tmp).empty());
            EXPECT_TRUE(names_in(examples).empty());
            if (fs::exists(pids)) {
                std::istringstream line(read_file(pids));
                pid_t shell = 0;
                pid_t job = 0;
                std::string netrc;
                line >> shell >> job >> netrc;
                EXPECT_FALSE(running(shell));
                EXPECT_FALSE(running(job)) << "uv's background job outlived the run";
                EXPECT_TRUE(netrc.starts_with(m_tmp.string() + "/")) << netrc;
                EXPECT_FALSE(fs::exists(netrc));
            }
        }
    }
}

} // namespace
} // namespace vorpane::test

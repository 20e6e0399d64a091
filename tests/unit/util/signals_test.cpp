#include "vorpane/core/signals.hpp"
#include "vorpane/util/signals.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "support/temp_home.hpp"

namespace vorpane::util {
namespace {

namespace fs = std::filesystem;

// A shutdown signal that another thread takes while a step must not be cut short (the move-in of
// unpacked files) waits for the step, then cleans up and ends the run as it always does.
TEST(SignalsDeathTest, ADeferredStepCompletesThenTheSignalCleansUpAndActs) {
    // Forked without exec, so the child registers the very paths the parent checks.
    GTEST_FLAG_SET(death_test_style, "fast");
    const test::TempDir tmp;
    const fs::path dir = tmp.path() / "private";
    const fs::path file = dir / "netrc";
    const std::pair<int, std::string> cases[] = {{SIGINT, "^step done\n\nAborted!\n$"},
                                                 {SIGTERM, "^step done\n$"},
                                                 {SIGHUP, "^step done\n$"},
                                                 {SIGQUIT, "^step done\n$"}};
    for (const auto& [signo, seen] : cases) {
        fs::create_directories(dir);
        std::ofstream(file) << "secret";
        auto body = [&, signo = signo] {
            core::install_signal_handlers();
            const RemoveOnSignal dir_entry(dir, RemoveOnSignal::Kind::directory);
            const RemoveOnSignal file_entry(file, RemoveOnSignal::Kind::file);
            std::atomic<bool> go{false};
            // Made before the step, so the signal is not blocked there and its handler runs.
            std::thread other([&go, signo] {
                while (!go) {
                    std::this_thread::yield();
                }
                ::kill(::getpid(), signo);
            });
            {
                const DeferSignals step;
                go = true;
                other.join();
                std::fputs("step done\n", stderr);
            }
            std::fputs("after the step\n", stderr);
            std::_Exit(0);
        };
        if (signo == SIGINT) {
            EXPECT_EXIT(body(), ::testing::ExitedWithCode(1), seen);
        } else {
            EXPECT_EXIT(body(), ::testing::KilledBySignal(signo), seen);
        }
        EXPECT_FALSE(fs::exists(dir)) << signo;
    }
}

} // namespace
} // namespace vorpane::util

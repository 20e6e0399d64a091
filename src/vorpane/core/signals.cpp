#include "vorpane/core/signals.hpp"

#include <unistd.h>

#include <csignal>

namespace vorpane::core {

namespace {

// Signal dispositions are per process, so the state the handler reads is too.
volatile std::sig_atomic_t g_children_running = 0;
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_sigint(int /*signo*/) {
    if (g_children_running > 0) {
        g_interrupted = 1;
        return;
    }
    static constexpr char message[] = "\nAborted!\n";
    // Only async-signal-safe calls here: the process is ending anyway.
    ssize_t ignored = ::write(STDERR_FILENO, message, sizeof(message) - 1);
    (void)ignored;
    ::_exit(1);
}

} // namespace

void install_signal_handlers() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    struct sigaction interrupt {};
    interrupt.sa_handler = on_sigint;
    ::sigemptyset(&interrupt.sa_mask);
    // Blocking calls must see EINTR so that waits notice the interruption promptly.
    interrupt.sa_flags = 0;
    ::sigaction(SIGINT, &interrupt, nullptr);
}

bool interrupt_pending() {
    return g_interrupted != 0;
}

ChildRunningGuard::ChildRunningGuard() noexcept {
    if (g_children_running == 0) {
        g_interrupted = 0;
    }
    g_children_running = g_children_running + 1;
}

ChildRunningGuard::~ChildRunningGuard() {
    g_children_running = g_children_running - 1;
}

} // namespace vorpane::core

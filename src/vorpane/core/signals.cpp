#include "vorpane/core/signals.hpp"

#include "vorpane/util/signals.hpp"

#include <unistd.h>

#include <csignal>

namespace vorpane::core {

namespace {

// The one shutdown path for every signal that ends a run. Only async-signal-safe calls here: the
// handler may interrupt any code on any thread.
extern "C" void on_shutdown_signal(int signo) {
    if (util::defer_signal_if_deferring(signo)) {
        return;
    }
    if (signo == SIGINT && util::note_interrupt_if_child_running()) {
        return;
    }
    util::clean_up_before_exit(signo);
    if (signo == SIGINT) {
        static constexpr char message[] = "\nAborted!\n";
        ssize_t ignored = ::write(STDERR_FILENO, message, sizeof(message) - 1);
        (void)ignored;
        ::_exit(1);
    }
    // As git does: the parent (a shell, a CI runner) learns which signal ended the run.
    util::die_of_signal(signo);
}

} // namespace

void install_signal_handlers() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    struct sigaction shutdown {};
    shutdown.sa_handler = on_shutdown_signal;
    ::sigemptyset(&shutdown.sa_mask);
    for (int signo : util::SHUTDOWN_SIGNALS) {
        ::sigaddset(&shutdown.sa_mask, signo);
    }
    // Blocking calls must see EINTR so that waits notice the interruption promptly.
    shutdown.sa_flags = 0;
    for (int signo : util::SHUTDOWN_SIGNALS) {
        struct sigaction old {};
        ::sigaction(signo, nullptr, &old);
        // A run started under nohup (or in the background by a non-interactive shell, for
        // SIGQUIT) keeps ignoring what its starter asked it to ignore; SIGINT is always ours.
        if (signo != SIGINT && old.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signo, &shutdown, nullptr);
    }
}

} // namespace vorpane::core

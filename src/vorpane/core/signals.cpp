#include "vorpane/core/signals.hpp"

#include "vorpane/util/signals.hpp"

#include <termios.h>
#include <unistd.h>

#include <csignal>

namespace vorpane::core {

namespace {

// Read by the signal handler, so kept per process like the dispositions themselves.
struct termios g_saved_mode {};
volatile std::sig_atomic_t g_restore_mode = 0;

extern "C" void on_sigint(int /*signo*/) {
    if (util::note_interrupt_if_child_running()) {
        return;
    }
    if (g_restore_mode != 0) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
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

void restore_terminal_on_interrupt(const ::termios* mode) noexcept {
    g_restore_mode = 0;
    if (mode != nullptr) {
        g_saved_mode = *mode;
        g_restore_mode = 1;
    }
}

} // namespace vorpane::core

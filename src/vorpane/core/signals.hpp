#pragma once

#include <termios.h>

namespace vorpane::core {

// Sets the process-wide signal dispositions the tool runs with: SIGPIPE is ignored (a closed
// reader shows up as EPIPE on the write), and SIGINT ends the process with "\nAborted!\n" on
// standard error and status 1, unless a child is running (util::ChildRunningGuard), in which
// case the signal is only noted. The leading line break moves past the "^C" the terminal
// echoed, so the word starts on a line of its own. Safe to call more than once.
void install_signal_handlers();

// Terminal settings the SIGINT handler puts back on standard input before it ends the process
// (a prompt that turned echo off); null forgets them.
void restore_terminal_on_interrupt(const ::termios* mode) noexcept;

} // namespace vorpane::core

#pragma once

namespace vorpane::core {

// Sets the process-wide signal dispositions the tool runs with. SIGPIPE is ignored (a closed
// reader shows up as EPIPE on the write). SIGINT, SIGTERM, SIGHUP and SIGQUIT take one shutdown
// path: the tracked child groups are ended and waited for, the registered temporary paths are
// removed and the terminal settings are put back (see util/signals.hpp); then SIGINT ends the
// process with "\nAborted!\n" on standard error and status 1, and the others by the signal
// itself, with its default action (status 128 + the signal number in a shell). SIGINT while a
// child runs (util::ChildRunningGuard) is only noted and passed on to the child; the run ends
// with util::Interrupted once the child has ended. A signal that arrives during a
// util::DeferSignals step acts when the step is over. The leading line break moves past the "^C"
// the terminal echoed, so the word starts on a line of its own. SIGTERM, SIGHUP and SIGQUIT stay
// ignored when the tool was started with them ignored. Safe to call more than once.
void install_signal_handlers();

} // namespace vorpane::core

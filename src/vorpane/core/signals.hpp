#pragma once

namespace vorpane::core {

// Sets the process-wide signal dispositions the tool runs with: SIGPIPE is ignored (a closed
// reader shows up as EPIPE on the write), and SIGINT ends the process with "\nAborted!\n" on
// standard error and status 1, unless a child is running (see ChildRunningGuard). The leading
// line break moves past the "^C" the terminal echoed, so the word starts on a line of its own,
// prompt or not. Safe to call more than once.
void install_signal_handlers();

// True when SIGINT arrived while a child was running, since the first of the currently live
// ChildRunningGuard objects was made.
bool interrupt_pending();

// Marks a child as running for its lifetime: SIGINT then only sets interrupt_pending() (the
// child, in the same process group, gets the signal from the terminal and decides itself), and
// the caller ends with Aborted once the child has been waited for. Guards may nest.
class ChildRunningGuard {
  public:
    ChildRunningGuard() noexcept;
    ~ChildRunningGuard();
    ChildRunningGuard(const ChildRunningGuard&) = delete;
    ChildRunningGuard& operator=(const ChildRunningGuard&) = delete;
};

} // namespace vorpane::core

#pragma once

#include <stdexcept>

namespace vorpane::util {

// SIGINT arrived while a child ran; thrown once the child has been waited for.
class Interrupted : public std::runtime_error {
  public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// Whether a ChildRunningGuard is alive; async-signal-safe, for the SIGINT handler.
bool child_running() noexcept;

// Records that SIGINT arrived while a child ran; async-signal-safe, for the SIGINT handler.
void note_interrupt() noexcept;

// True when SIGINT arrived while a child was running, since the first of the currently live
// ChildRunningGuard objects was made.
bool interrupt_pending() noexcept;

// Marks a child as running for its lifetime: the SIGINT handler then only notes the signal (the
// child, in the same process group, gets it from the terminal and decides itself), and the
// caller ends with Interrupted once the child has been waited for. Guards may nest, and threads
// may hold guards for their own children at the same time.
class ChildRunningGuard {
  public:
    ChildRunningGuard() noexcept;
    ~ChildRunningGuard();
    ChildRunningGuard(const ChildRunningGuard&) = delete;
    ChildRunningGuard& operator=(const ChildRunningGuard&) = delete;
};

} // namespace vorpane::util

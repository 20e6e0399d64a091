#pragma once

#include <stdexcept>

namespace vorpane::util {

// SIGINT arrived while a child ran; thrown once the child has been waited for.
class Interrupted : public std::runtime_error {
  public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// For the SIGINT handler (async-signal-safe): when a ChildRunningGuard is alive, records the
// signal for the guards' owners and returns true; otherwise returns false and the handler acts
// itself. Checking and recording are one atomic step, so a signal that arrives as the last guard
// goes is either seen by that guard's release() or handled here, never lost between the two.
bool note_interrupt_if_child_running() noexcept;

// Marks a child as running for its lifetime: the SIGINT handler then only notes the signal (the
// child, in the same process group, gets it from the terminal and decides itself), and the
// caller ends with Interrupted once the child has been waited for. Guards may nest, and threads
// may hold guards for their own children at the same time.
class ChildRunningGuard {
  public:
    ChildRunningGuard() noexcept;
    ~ChildRunningGuard() { (void)release(); }
    ChildRunningGuard(const ChildRunningGuard&) = delete;
    ChildRunningGuard& operator=(const ChildRunningGuard&) = delete;

    // Ends the guard (once); true when SIGINT was recorded since the first of the guards alive
    // with this one was made.
    [[nodiscard]] bool release() noexcept;

  private:
    bool m_released = false;
};

} // namespace vorpane::util

#pragma once

#include <sys/types.h>
#include <termios.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <stdexcept>

namespace vorpane::util {

// The signals that end a run through the shutdown path: the keyboard's interrupt and quit, the
// terminal's hangup and the polite kill that CI runners send on cancel.
inline constexpr std::array<int, 4> SHUTDOWN_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// SIGINT arrived while a child ran; thrown once the child has been waited for.
class Interrupted : public std::runtime_error {
  public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// For the SIGINT handler (async-signal-safe): when a ChildRunningGuard is alive, records the
// signal for the guards' owners, forwards SIGINT to every tracked child group (which runs apart
// from the terminal's foreground group, so the terminal does not reach it) and returns true;
// otherwise returns false and the handler acts itself. Checking and recording are one atomic
// step, so a signal that arrives as the last guard goes is either seen by that guard's release()
// or handled here, never lost between the two.
bool note_interrupt_if_child_running() noexcept;

// Marks a child as running for its lifetime: the SIGINT handler then only notes the signal and
// passes it on to the child, which decides itself, and the caller ends with Interrupted once the
// child has been waited for. Guards may nest, and threads may hold guards for their own children
// at the same time.
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

// A child that leads a process group of its own, tracked for the shutdown path (which ends the
// group and waits for it) and for SIGINT forwarding. Forget it before the child is reaped, so its
// number cannot have gone to another process. Best effort: when every slot is taken (hundreds of
// children at once) the group is not tracked.
class TrackedChildGroup {
  public:
    explicit TrackedChildGroup(pid_t group) noexcept;
    ~TrackedChildGroup() { forget(); }
    TrackedChildGroup(const TrackedChildGroup&) = delete;
    TrackedChildGroup& operator=(const TrackedChildGroup&) = delete;
    void forget() noexcept;

  private:
    int m_slot = -1;
};

// Sends `signo` to the process group `group` and waits until none of its processes is left,
// reaping the leader if it is this process's child: SIGKILL after three seconds, no more waiting
// after five. Async-signal-safe.
void end_process_group(pid_t group, int signo) noexcept;

// A path the shutdown path removes (unlink, or rmdir for a directory, which must then be empty
// by the time the files registered in it are gone) when a signal ends the run while this object
// is registered. Register right after creating the path and forget() once it is committed
// elsewhere or removed. Best effort like TrackedChildGroup: paths longer than PATH_MAX or beyond
// the slots go unregistered.
class RemoveOnSignal {
  public:
    enum class Kind : unsigned char { file, directory };
    RemoveOnSignal() noexcept = default;
    RemoveOnSignal(const std::filesystem::path& path, Kind kind) noexcept;
    ~RemoveOnSignal() { forget(); }
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;
    void forget() noexcept;

  private:
    int m_slot = -1;
};

// Terminal settings the shutdown path puts back on `fd` (a prompt that turned echo off) while
// this object lives.
class RestoreTerminalOnSignal {
  public:
    RestoreTerminalOnSignal(int fd, const ::termios& mode) noexcept;
    ~RestoreTerminalOnSignal();
    RestoreTerminalOnSignal(const RestoreTerminalOnSignal&) = delete;
    RestoreTerminalOnSignal& operator=(const RestoreTerminalOnSignal&) = delete;

  private:
    int m_slot = -1;
};

// A step that must complete (or roll back) once started: while any such object lives, in any
// thread, a shutdown signal is held back (blocked in this thread, recorded by the handler in the
// others) and acts when the last one ends. Keep such steps short.
class DeferSignals {
  public:
    DeferSignals() noexcept;
    ~DeferSignals();
    DeferSignals(const DeferSignals&) = delete;
    DeferSignals& operator=(const DeferSignals&) = delete;

  private:
    sigset_t m_old{};
};

// For the signal handler (async-signal-safe): true when a DeferSignals is alive, in which case
// `signo` has been recorded to act when it ends.
bool defer_signal_if_deferring(int signo) noexcept;

// For the signal handler (async-signal-safe), before the process ends because of `signo`: sends
// the tracked child groups `signo` (SIGTERM in place of SIGQUIT, so children dump no core), waits
// for them to be gone (SIGKILL after a grace period of a few seconds), removes the registered
// paths and puts back the registered terminal settings. Runs once: a second signal handled on
// another thread meanwhile waits for the first to end the process.
void clean_up_before_exit(int signo) noexcept;

// Ends the process by `signo` with its default action, so that the parent sees which signal it
// was (async-signal-safe); 128 + `signo` as the exit status should the signal not end it.
[[noreturn]] void die_of_signal(int signo) noexcept;

} // namespace vorpane::util

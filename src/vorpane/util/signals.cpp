#include "vorpane/util/signals.hpp"

#include <climits>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace vorpane::util {

namespace {

// Signal dispositions are per process, so the state the handler reads is too. Everything here is
// updated with lock-free atomics, because threads register and drop entries while the handler
// may run on any of them; a lock-free atomic is safe to use in a signal handler, a lock is not.

// The number of live ChildRunningGuards and, in the top bit, whether SIGINT arrived while one
// lived: one word, so the count and the mark change together.
std::atomic<unsigned> g_state{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

constexpr unsigned INTERRUPTED = ~(~0U >> 1U);
constexpr unsigned COUNT = ~INTERRUPTED;

// The number of live DeferSignals and, above DEFER_COUNT, the first signal held back meanwhile.
std::atomic<unsigned> g_defer{0};
constexpr unsigned DEFER_COUNT = 0xFFFFU;
constexpr unsigned DEFER_SHIFT = 16;

// A registry slot goes FREE -> FILLING (its owner writes the payload) -> ACTIVE -> FREE again when
// the owner forgets it, or -> CLAIMED when the shutdown path takes it. Only the owner writes the
// payload and only before publishing it, and the handler reads it only after claiming it, so a
// slot's payload is never read half written.
enum SlotState : unsigned { FREE, FILLING, ACTIVE, CLAIMED };

template <size_t N> struct SlotStates {
    std::array<std::atomic<unsigned>, N> state{};

    int reserve() noexcept {
        for (size_t i = 0; i < N; ++i) {
            unsigned expected = FREE;
            if (state[i].compare_exchange_strong(expected, FILLING)) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    void publish(int slot) noexcept { state[static_cast<size_t>(slot)].store(ACTIVE); }
    void release(int slot) noexcept {
        unsigned expected = ACTIVE;
        // A slot the shutdown path claimed stays so: the process is ending.
        (void)state[static_cast<size_t>(slot)].compare_exchange_strong(expected, FREE);
    }
    bool claim(size_t slot) noexcept {
        unsigned expected = ACTIVE;
        return state[slot].compare_exchange_strong(expected, CLAIMED);
    }
};

constexpr size_t CHILD_SLOTS = 256;
SlotStates<CHILD_SLOTS> g_child_states;
std::array<std::atomic<pid_t>, CHILD_SLOTS> g_child_groups{};

struct PathEntry {
    RemoveOnSignal::Kind kind = RemoveOnSignal::Kind::file;
    std::array<char, PATH_MAX> path{};
};
constexpr size_t PATH_SLOTS = 32;
SlotStates<PATH_SLOTS> g_path_states;
std::array<PathEntry, PATH_SLOTS> g_paths{};

struct TerminalEntry {
    int fd = -1;
    ::termios mode{};
};
constexpr size_t TERMINAL_SLOTS = 4;
SlotStates<TERMINAL_SLOTS> g_terminal_states;
std::array<TerminalEntry, TERMINAL_SLOTS> g_terminals{};

std::atomic<bool> g_cleaning{false};

sigset_t shutdown_set() noexcept {
    sigset_t set;
    ::sigemptyset(&set);
    for (int signo : SHUTDOWN_SIGNALS) {
        ::sigaddset(&set, signo);
    }
    return set;
}

void nap() noexcept {
    const timespec tick{0, 10'000'000};
    ::nanosleep(&tick, nullptr);
}

// Sends `signo` to the `count` process groups and waits until no process of theirs is left:
// SIGKILL for what is still there after three seconds, and no more waiting after five.
void end_groups(const pid_t* groups, size_t count, int signo) noexcept {
    for (size_t i = 0; i < count; ++i) {
        ::kill(-groups[i], signo);
    }
    constexpr int kill_at = 300;
    constexpr int give_up_at = 500;
    for (int tick = 0; count > 0 && tick < give_up_at; ++tick) {
        bool alive = false;
        for (size_t i = 0; i < count; ++i) {
            int status = 0;
            // The leader stays a zombie, and its group alive, until someone reaps it.
            (void)::waitpid(groups[i], &status, WNOHANG);
            if (::kill(-groups[i], 0) == 0) {
                alive = true;
                if (tick == kill_at) {
                    ::kill(-groups[i], SIGKILL);
                }
            }
        }
        if (!alive) {
            break;
        }
        nap();
    }
}

void end_children(int signo) noexcept {
    std::array<pid_t, CHILD_SLOTS> groups{};
    size_t count = 0;
    for (size_t i = 0; i < CHILD_SLOTS; ++i) {
        if (g_child_states.claim(i)) {
            groups[count++] = g_child_groups[i].load();
        }
    }
    end_groups(groups.data(), count, signo);
}

void remove_paths() noexcept {
    std::array<size_t, PATH_SLOTS> directories{};
    size_t count = 0;
    for (size_t i = 0; i < PATH_SLOTS; ++i) {
        if (!g_path_states.claim(i)) {
            continue;
        }
        if (g_paths[i].kind == RemoveOnSignal::Kind::file) {
            ::unlink(g_paths[i].path.data());
        } else {
            directories[count++] = i;
        }
    }
    // Directories may nest in any order of registration: a second round takes the parents.
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < count; ++i) {
            ::rmdir(g_paths[directories[i]].path.data());
        }
    }
}

void restore_terminals() noexcept {
    for (size_t i = TERMINAL_SLOTS; i-- > 0;) {
        if (g_terminal_states.claim(i)) {
            ::tcsetattr(g_terminals[i].fd, TCSANOW, &g_terminals[i].mode);
        }
    }
}

} // namespace

bool note_interrupt_if_child_running() noexcept {
    unsigned state = g_state.load();
    do {
        if ((state & COUNT) == 0) {
            return false;
        }
    } while (!g_state.compare_exchange_weak(state, state | INTERRUPTED));
    for (size_t i = 0; i < CHILD_SLOTS; ++i) {
        if (g_child_states.state[i].load() == ACTIVE) {
            ::kill(-g_child_groups[i].load(), SIGINT);
        }
    }
    return true;
}

ChildRunningGuard::ChildRunningGuard() noexcept {
    // The first guard starts afresh; the count and the mark change together, so a signal noted
    // for a guard that already exists is never wiped by another thread's new one.
    unsigned state = g_state.load();
    while (!g_state.compare_exchange_weak(state, (state & COUNT) == 0 ? 1 : state + 1)) {
    }
}

bool ChildRunningGuard::release() noexcept {
    if (m_released) {
        return false;
    }
    m_released = true;
    return (g_state.fetch_sub(1) & INTERRUPTED) != 0;
}

TrackedChildGroup::TrackedChildGroup(pid_t group) noexcept : m_slot(g_child_states.reserve()) {
    if (m_slot >= 0) {
        g_child_groups[static_cast<size_t>(m_slot)].store(group);
        g_child_states.publish(m_slot);
    }
}

void TrackedChildGroup::forget() noexcept {
    if (m_slot >= 0) {
        g_child_states.release(m_slot);
        m_slot = -1;
    }
}

RemoveOnSignal::RemoveOnSignal(const std::filesystem::path& path, Kind kind) noexcept {
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX) {
        return;
    }
    m_slot = g_path_states.reserve();
    if (m_slot >= 0) {
        PathEntry& entry = g_paths[static_cast<size_t>(m_slot)];
        entry.kind = kind;
        std::memcpy(entry.path.data(), text.c_str(), text.size() + 1);
        g_path_states.publish(m_slot);
    }
}

void RemoveOnSignal::forget() noexcept {
    if (m_slot >= 0) {
        g_path_states.release(m_slot);
        m_slot = -1;
    }
}

RestoreTerminalOnSignal::RestoreTerminalOnSignal(int fd, const ::termios& mode) noexcept
    : m_slot(g_terminal_states.reserve()) {
    if (m_slot >= 0) {
        g_terminals[static_cast<size_t>(m_slot)] = TerminalEntry{fd, mode};
        g_terminal_states.publish(m_slot);
    }
}

RestoreTerminalOnSignal::~RestoreTerminalOnSignal() {
    if (m_slot >= 0) {
        g_terminal_states.release(m_slot);
    }
}

DeferSignals::DeferSignals() noexcept {
    const sigset_t set = shutdown_set();
    ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
    g_defer.fetch_add(1);
}

DeferSignals::~DeferSignals() {
    unsigned state = g_defer.load();
    unsigned next = 0;
    do {
        next = (state & DEFER_COUNT) == 1 ? 0 : state - 1;
    } while (!g_defer.compare_exchange_weak(state, next));
    if ((state & DEFER_COUNT) == 1 && (state >> DEFER_SHIFT) != 0) {
        // Still blocked here: the signal waits for the mask to come down, then acts.
        ::raise(static_cast<int>(state >> DEFER_SHIFT));
    }
    ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

bool defer_signal_if_deferring(int signo) noexcept {
    unsigned state = g_defer.load();
    do {
        if ((state & DEFER_COUNT) == 0) {
            return false;
        }
        if ((state >> DEFER_SHIFT) != 0) {
            return true;
        }
    } while (!g_defer.compare_exchange_weak(state,
                                            state | (static_cast<unsigned>(signo) << DEFER_SHIFT)));
    return true;
}

void end_process_group(pid_t group, int signo) noexcept {
    end_groups(&group, 1, signo);
}

void clean_up_before_exit(int signo) noexcept {
    if (g_cleaning.exchange(true)) {
        for (;;) {
            ::pause();
        }
    }
    const int saved_errno = errno;
    end_children(signo == SIGQUIT ? SIGTERM : signo);
    remove_paths();
    restore_terminals();
    errno = saved_errno;
}

void die_of_signal(int signo) noexcept {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(signo, &fallback, nullptr);
    ::raise(signo);
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, signo);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::_exit(128 + signo);
}

} // namespace vorpane::util

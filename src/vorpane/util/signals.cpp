#include "vorpane/util/signals.hpp"

#include <atomic>

namespace vorpane::util {

namespace {

// Signal dispositions are per process, so the state the handler reads is too: the number of
// live guards and, in the top bit, whether SIGINT arrived while one lived. One word updated by
// atomic operations, because threads add and drop guards while the handler may run on any of
// them; a lock-free atomic is safe to use in a signal handler, where a lock would not be.
std::atomic<unsigned> g_state{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

constexpr unsigned INTERRUPTED = ~(~0U >> 1U);
constexpr unsigned COUNT = ~INTERRUPTED;

} // namespace

bool note_interrupt_if_child_running() noexcept {
    unsigned state = g_state.load();
    do {
        if ((state & COUNT) == 0) {
            return false;
        }
    } while (!g_state.compare_exchange_weak(state, state | INTERRUPTED));
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

} // namespace vorpane::util

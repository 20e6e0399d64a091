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

bool child_running() noexcept {
    return (g_state.load() & COUNT) > 0;
}

void note_interrupt() noexcept {
    g_state.fetch_or(INTERRUPTED);
}

bool interrupt_pending() noexcept {
    return (g_state.load() & INTERRUPTED) != 0;
}

ChildRunningGuard::ChildRunningGuard() noexcept {
    // The first guard starts afresh; the count and the mark change together, so a signal noted
    // for a guard that already exists is never wiped by another thread's new one.
    unsigned state = g_state.load();
    while (!g_state.compare_exchange_weak(state, (state & COUNT) == 0 ? 1 : state + 1)) {
    }
}

ChildRunningGuard::~ChildRunningGuard() {
    g_state.fetch_sub(1);
}

} // namespace vorpane::util

#include "vorpane/util/signals.hpp"

#include <csignal>

namespace vorpane::util {

namespace {

// Signal dispositions are per process, so the state the handler reads is too.
volatile std::sig_atomic_t g_children_running = 0;
volatile std::sig_atomic_t g_interrupted = 0;

} // namespace

bool child_running() noexcept {
    return g_children_running > 0;
}

void note_interrupt() noexcept {
    g_interrupted = 1;
}

bool interrupt_pending() noexcept {
    return g_interrupted != 0;
}

ChildRunningGuard::ChildRunningGuard() noexcept {
    if (g_children_running == 0) {
        g_interrupted = 0;
    }
    g_children_running = g_children_running + 1;
}

ChildRunningGuard::~ChildRunningGuard() {
    g_children_running = g_children_running - 1;
}

} // namespace vorpane::util

#include "vorpane/core/clock.hpp"

#include <thread>

namespace vorpane::core {

double SystemClock::now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::chrono::steady_clock::time_point SystemClock::steady() {
    return std::chrono::steady_clock::now();
}

void SystemClock::sleep_for(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

} // namespace vorpane::core

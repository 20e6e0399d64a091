#pragma once

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/clock.hpp"
#include "vorpane/engine/runner.hpp"
#include "vorpane/engine/target.hpp"

namespace vorpane::test {

// The engine's view of a run as the tool builds it, from the process environment as it is when
// this is made: `TestRuntime().rt()` for one call.
class TestRuntime {
  public:
    engine::Runtime& rt() { return m_rt; }

  private:
    core::SystemClock m_clock;
    engine::SystemProcessRunner m_runner{m_clock};
    engine::TargetEnvironment m_target{m_runner, config::process_environment()};
    engine::Runtime m_rt{m_runner, m_target};
};

} // namespace vorpane::test

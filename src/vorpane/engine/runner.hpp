#pragma once

#include "vorpane/core/clock.hpp"
#include "vorpane/engine/target.hpp"
#include "vorpane/util/process.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vorpane::engine {

// Starts the engine's children; tests replace it to script what the children answer.
class ProcessRunner {
  public:
    virtual ~ProcessRunner() = default;
    // Runs `argv` with exactly the environment `env` and waits, as util::run_process does.
    // Throws util::SpawnError, std::system_error, and core::Aborted when Ctrl-C arrived while
    // the child ran (after it has ended).
    virtual util::ProcessResult run(const std::vector<std::string>& argv,
                                    const std::map<std::string, std::string>& env,
                                    const util::ProcessOptions& options) = 0;
};

// A child that has ended, as the runner's observer sees it.
struct ChildRun {
    const std::vector<std::string>& argv;
    int returncode = 0;
    std::chrono::milliseconds elapsed{0};
};

// The real runner. Ctrl-C is left to the child (it shares the terminal's process group) and
// ends the tool once the child has gone. Each child that ended is shown to `on_run` (the front
// end's verbose line), from the thread that ran it: several threads may run children through
// one runner at once.
class SystemProcessRunner final : public ProcessRunner {
  public:
    using Observer = std::function<void(const ChildRun&)>;
    explicit SystemProcessRunner(core::Clock& clock, Observer on_run = {})
        : m_clock(clock), m_on_run(std::move(on_run)) {}
    util::ProcessResult run(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env,
                            const util::ProcessOptions& options) override;

  private:
    core::Clock& m_clock;
    Observer m_on_run;
};

// What the engine needs of a run: who starts children, and the environment they serve.
struct Runtime {
    ProcessRunner& runner;
    TargetEnvironment& target;
    // uv is told to work offline: it installs only what its own cache holds.
    bool offline = false;
};

} // namespace vorpane::engine

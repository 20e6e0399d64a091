#pragma once

#include "vorpane/core/clock.hpp"
#include "vorpane/core/output.hpp"
#include "vorpane/engine/target.hpp"
#include "vorpane/util/process.hpp"

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

// The real runner. Ctrl-C is left to the child (it shares the terminal's process group) and
// ends the tool once the child has gone. In verbose mode each child adds one line to `out`:
// its arguments (credentials in URLs masked), its exit status and how long it ran. Several
// threads may run children through one runner at once.
class SystemProcessRunner final : public ProcessRunner {
  public:
    SystemProcessRunner(core::Output& out, core::Clock& clock) : m_out(out), m_clock(clock) {}
    util::ProcessResult run(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env,
                            const util::ProcessOptions& options) override;

  private:
    core::Output& m_out;
    core::Clock& m_clock;
};

// What the engine needs of a run: who starts children, and the environment they serve.
struct Runtime {
    ProcessRunner& runner;
    TargetEnvironment& target;
};

} // namespace vorpane::engine

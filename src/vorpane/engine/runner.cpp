#include "vorpane/engine/runner.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/util/signals.hpp"

namespace vorpane::engine {

util::ProcessResult SystemProcessRunner::run(const std::vector<std::string>& argv,
                                             const std::map<std::string, std::string>& env,
                                             const util::ProcessOptions& options) {
    auto start = m_clock.steady();
    util::ProcessResult result;
    try {
        result = util::run_process(argv, env, options);
    } catch (const util::Interrupted&) {
        throw core::Aborted();
    }
    if (m_on_run) {
        m_on_run({argv, result.returncode,
                  std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.steady() - start)});
    }
    return result;
}

} // namespace vorpane::engine

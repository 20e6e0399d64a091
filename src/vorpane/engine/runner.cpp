#include "vorpane/engine/runner.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/signals.hpp"

#include <fmt/format.h>

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
    if (m_out.verbose()) {
        std::string args;
        for (const auto& arg : argv) {
            args += (args.empty() ? "" : " ") + arg;
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.steady() - start);
        m_out.detail(fmt::format("run {} -> exit status {} ({} ms)",
                                 util::escape_control(util::mask_url_password(args)),
                                 result.returncode, ms.count()));
    }
    return result;
}

} // namespace vorpane::engine

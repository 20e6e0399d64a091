#pragma once

#include "vorpane/api/request.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/config/records.hpp"
#include "vorpane/core/clock.hpp"
#include "vorpane/core/output.hpp"
#include "vorpane/engine/runner.hpp"
#include "vorpane/engine/target.hpp"
#include "vorpane/util/http.hpp"

#include <exception>
#include <memory>
#include <optional>

namespace vorpane::modules {

// What one run of the tool knows and uses, built once by the front end and passed down by
// reference: the output sink, the clock, the HTTP client and the process runner (all replaced in
// tests), and the stored configuration, the result cache and the target environment, each read,
// opened or detected once on first use.
class Context {
  public:
    Context(core::Output& out,
            core::Clock& clock,
            util::HttpClient& http,
            engine::ProcessRunner& runner,
            config::EnvLookup env = config::process_env());
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    core::Output& out;
    core::Clock& clock;
    util::HttpClient& http;
    engine::ProcessRunner& runner;

    // The stored configuration, parsed on the first call; later calls give the same record or
    // throw the same error: core::ValidationError when it holds no valid profile,
    // config::ConfigParseError, std::system_error / std::filesystem::filesystem_error.
    const config::VorpaneConfig& config();
    // The result cache in the configuration directory, opened on the first call (a cache that
    // cannot be opened acts as an empty one).
    config::ResultCache& cache();
    // The target Python environment.
    engine::TargetEnvironment& target() { return m_target; }
    // What a call of the service needs: the stored profile, the HTTP client and the cache.
    // Throws like config().
    api::ServiceAccess service();

    // Looks a variable up in the environment the run was started with.
    [[nodiscard]] std::optional<std::string> env(const std::string& name) const {
        return m_env(name);
    }

  private:
    config::EnvLookup m_env;
    std::optional<config::VorpaneConfig> m_config;
    std::exception_ptr m_config_error;
    std::unique_ptr<config::ResultCache> m_cache;
    engine::TargetEnvironment m_target;
};

} // namespace vorpane::modules

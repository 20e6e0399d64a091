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

    // Where the credentials in effect come from.
    enum class CredentialsSource { file, environment, store };

    // The configuration in effect, made on the first call; later calls give the same record or
    // throw the same error. When VORPANE_TOKEN_ID and VORPANE_TOKEN are both set (an empty value
    // counts as unset) the profile is theirs, with VORPANE_CLOUD_ENVIRONMENT, and the file is not
    // read; only one of them set throws core::VorpaneException naming the missing one. Otherwise
    // the stored file: core::ValidationError when it holds no valid profile,
    // config::ConfigParseError, std::system_error / std::filesystem::filesystem_error.
    const config::VorpaneConfig& config();
    // The source of config()'s profile; throws like config().
    CredentialsSource credentials_source();
    // The result cache in the configuration directory, opened on the first call (a cache that
    // cannot be opened acts as an empty one). With credentials from the environment nothing is
    // kept: the stored answers belong to the stored profile. Throws config::UnsafeStateError
    // when the directory or the store belongs to another user or others may write to it.
    config::ResultCache& cache();
    // The target Python environment.
    engine::TargetEnvironment& target() { return m_target; }
    // config()'s profile with its secret: from a credential store, the helper is asked on the
    // first call only. Throws like config(), and CredentialStoreError (credentials.hpp).
    const config::VorpaneProfile& profile();
    // What a call of the service needs: profile(), the HTTP client and the cache. Throws like
    // profile().
    api::ServiceAccess service();

    // Looks a variable up in the environment the run was started with.
    [[nodiscard]] std::optional<std::string> env(const std::string& name) const {
        return m_env(name);
    }

  private:
    config::EnvLookup m_env;
    std::optional<config::VorpaneConfig> m_config;
    CredentialsSource m_source = CredentialsSource::file;
    std::exception_ptr m_config_error;
    std::optional<config::VorpaneProfile> m_profile;
    std::exception_ptr m_profile_error;
    std::unique_ptr<config::ResultCache> m_cache;
    engine::TargetEnvironment m_target;
};

} // namespace vorpane::modules

#include "vorpane/modules/context.hpp"

#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/credentials.hpp"

namespace vorpane::modules {

Context::Context(core::Output& out_,
                 core::Clock& clock_,
                 util::HttpClient& http_,
                 engine::ProcessRunner& runner_,
                 config::EnvLookup env)
    : out(out_), clock(clock_), http(http_), runner(runner_), m_env(env), m_target(std::move(env)) {
}

const config::VorpaneConfig& Context::config() {
    if (!m_config && !m_config_error) {
        try {
            const auto id = config::non_empty_env(m_env, "VORPANE_TOKEN_ID");
            const auto token = config::non_empty_env(m_env, "VORPANE_TOKEN");
            if (id && token) {
                m_source = CredentialsSource::environment;
                m_config = config::VorpaneConfig{
                    config::VorpaneProfile{*id,
                                           *token,
                                           config::derive_cloud_environment(
                                               m_env("VORPANE_CLOUD_ENVIRONMENT").value_or("")),
                                           {}},
                    config::VorpaneOptions{}};
            } else if (id || token) {
                throw core::VorpaneException(
                    std::string(id ? "VORPANE_TOKEN" : "VORPANE_TOKEN_ID") +
                    " is not set: set both VORPANE_TOKEN_ID and VORPANE_TOKEN, or neither");
            } else {
                m_config = config::get_configparser();
                if (!m_config->profile.credential_store.empty()) {
                    m_source = CredentialsSource::store;
                }
            }
        } catch (...) {
            m_config_error = std::current_exception();
        }
    }
    if (m_config_error) {
        std::rethrow_exception(m_config_error);
    }
    return *m_config;
}

Context::CredentialsSource Context::credentials_source() {
    (void)config();
    return m_source;
}

config::ResultCache& Context::cache() {
    if (!m_cache) {
        std::filesystem::path dir;
        bool from_environment = false;
        try {
            from_environment = credentials_source() == CredentialsSource::environment;
        } catch (const std::exception&) {
            // No usable profile: the stored answers, if any, are still the file's.
        }
        if (from_environment) {
            // A directory that can never hold the store: every lookup misses and nothing is
            // written, so no answer for these credentials mixes with the stored profile's.
            m_cache =
                std::make_unique<config::ResultCache>("/dev/null", [this] { return clock.now(); });
            return *m_cache;
        }
        try {
            dir = config::_get_config_dir();
        } catch (const config::UnsafeStateError&) {
            throw;
        } catch (const std::exception&) {
            // No directory to keep answers in: the calls go to the service every time.
            dir = "/dev/null";
        }
        m_cache = std::make_unique<config::ResultCache>(dir, [this] { return clock.now(); });
    }
    return *m_cache;
}

const config::VorpaneProfile& Context::profile() {
    if (!m_profile && !m_profile_error) {
        try {
            config::VorpaneProfile found = config().profile;
            if (credentials_source() == CredentialsSource::store) {
                found.token = fetch_secret(found, m_env);
            }
            m_profile = std::move(found);
        } catch (...) {
            m_profile_error = std::current_exception();
        }
    }
    if (m_profile_error) {
        std::rethrow_exception(m_profile_error);
    }
    return *m_profile;
}

api::ServiceAccess Context::service() {
    return {profile(), http, cache()};
}

} // namespace vorpane::modules

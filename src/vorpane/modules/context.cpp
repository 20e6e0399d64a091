#include "vorpane/modules/context.hpp"

#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/credentials.hpp"
#include "vorpane/util/redact.hpp"

namespace vorpane::modules {

namespace {

// Keeps the result of `make` in `value`, or what it threw in `error`, and gives it back.
template <class T, class Make>
const T& once(std::optional<T>& value, std::exception_ptr& error, Make make) {
    if (!value && !error) {
        try {
            value.emplace(make());
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) {
        std::rethrow_exception(error);
    }
    return *value;
}

} // namespace

Context::Context(core::Output& out_,
                 core::Clock& clock_,
                 net::HttpClient& http_,
                 engine::ProcessRunner& runner_,
                 config::Environment environment)
    : out(out_), clock(clock_), http(http_), runner(runner_), m_environment(std::move(environment)),
      m_lookup(config::lookup_in(m_environment)), m_target(runner_, m_environment) {}

const config::AppDirs& Context::dirs() {
    if (!m_dirs) {
        m_dirs = config::resolve_app_dirs(config::current_platform(), m_lookup);
    }
    return *m_dirs;
}

const std::filesystem::path& Context::config_dir() {
    return once(m_config_dir, m_config_dir_error, [this] {
        return config::open_profile_dir(config::checked_config_dir(dirs().config_dir),
                                        config::selected_profile(m_lookup));
    });
}

std::filesystem::path Context::examples_dir() {
    std::filesystem::path dir = dirs().data_dir / "examples";
    config::create_private_directories(dir);
    return dir;
}

const config::VorpaneConfig& Context::stored_config() {
    return once(m_stored, m_stored_error,
                [this] { return config::get_configparser(config_dir()); });
}

const config::VorpaneConfig& Context::config() {
    return once(m_config, m_config_error, [this] {
        const auto id = config::non_empty_env(m_lookup, "VORPANE_TOKEN_ID");
        const auto token = config::non_empty_env(m_lookup, "VORPANE_TOKEN");
        if (id && token) {
            m_source = CredentialsSource::environment;
            return config::VorpaneConfig{
                config::VorpaneProfile{*id,
                                       *token,
                                       config::derive_cloud_environment(
                                           m_lookup("VORPANE_CLOUD_ENVIRONMENT").value_or("")),
                                       {}},
                config::VorpaneOptions{}};
        }
        if (id || token) {
            throw core::VorpaneException(
                std::string(id ? "VORPANE_TOKEN" : "VORPANE_TOKEN_ID") +
                " is not set: set both VORPANE_TOKEN_ID and VORPANE_TOKEN, or neither");
        }
        const config::VorpaneConfig& stored = stored_config();
        if (!stored.profile.credential_store.empty()) {
            m_source = CredentialsSource::store;
        }
        return stored;
    });
}

Context::CredentialsSource Context::credentials_source() {
    (void)config();
    return m_source;
}

unsigned Context::http_retries() const {
    const std::string text = m_lookup("VORPANE_HTTP_RETRIES").value_or("");
    const auto count = net::parse_retry_count(text);
    if (!count) {
        throw core::VorpaneException("VORPANE_HTTP_RETRIES must be a whole number from 0 to " +
                                     std::to_string(net::MAX_RETRIES) + ", not \"" +
                                     util::escape_control(text) + "\"");
    }
    return *count;
}

config::ResultCache& Context::cache() {
    if (m_cache) {
        return *m_cache;
    }
    auto now = [this] { return clock.now(); };
    bool from_environment = false;
    try {
        from_environment = credentials_source() == CredentialsSource::environment;
    } catch (const std::exception&) {
        // No usable profile: the stored answers, if any, are still the file's.
    }
    if (from_environment) {
        // No answer for these credentials may mix with the stored profile's.
        return m_cache.emplace(config::ResultCache::disabled(now));
    }
    std::filesystem::path dir;
    try {
        dir = config_dir();
    } catch (const config::UnsafeStateError&) {
        throw;
    } catch (const std::exception&) {
        // No directory to keep answers in: the calls go to the service every time.
        return m_cache.emplace(config::ResultCache::disabled(now));
    }
    return m_cache.emplace(dir, now);
}

const config::VorpaneProfile& Context::profile() {
    if (!m_profile && !m_profile_error) {
        try {
            config::VorpaneProfile found = config().profile;
            if (credentials_source() == CredentialsSource::store) {
                found.token = fetch_secret(found, m_environment);
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

#include "vorpane/modules/context.hpp"

#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/credentials.hpp"
#include "vorpane/util/redact.hpp"

#include <algorithm>
#include <utility>

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

std::string describe_age(double seconds) {
    const auto whole = static_cast<long long>(seconds < 0 ? 0 : seconds);
    const auto [count, unit] = whole < 3600    ? std::pair{whole / 60, "minute"}
                               : whole < 86400 ? std::pair{whole / 3600, "hour"}
                                               : std::pair{whole / 86400, "day"};
    return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

net::HttpResponse GuardedHttpClient::send(const net::HttpRequest& request) {
    if (m_refuse) {
        throw OfflineError("offline: no connection is opened to " +
                           util::escape_control(util::mask_url_password(request.url)));
    }
    return m_inner.send(request);
}

void GuardedHttpClient::download(const std::vector<net::DownloadJob>& jobs,
                                 const net::DownloadHandlers& handlers,
                                 const util::ProgressOutput& progress,
                                 const net::DownloadLimits& limits) {
    if (m_refuse) {
        throw OfflineError("offline: no download is started");
    }
    m_inner.download(jobs, handlers, progress, limits);
}

void Context::resolve_offline(bool option) {
    bool offline = option;
    const std::string name(OFFLINE_VARIABLE);
    if (!option) {
        const std::string value = env(name).value_or("");
        if (value == "1" || value == "true" || value == "yes") {
            offline = true;
        } else if (!(value.empty() || value == "0" || value == "false" || value == "no")) {
            throw core::VorpaneException(name +
                                         " must be 1, true, yes, 0, false, no or empty, not \"" +
                                         util::escape_control(value) + "\"");
        }
    }
    m_offline = offline;
    m_guarded_http.refuse(offline);
}

nlohmann::json Context::answer(const config::CachedOperation& op,
                               const std::function<nlohmann::json()>& fetch,
                               std::string_view args_repr) {
    if (m_offline) {
        return stored_answer(op, args_repr);
    }
    return config::cached_call(cache(), op, fetch, args_repr);
}

nlohmann::json Context::stored_answer(const config::CachedOperation& op,
                                      std::string_view args_repr) {
    std::optional<config::ResultCache::KeptAnswer> kept;
    if (op.serves_offline) {
        kept = cache().lookup_kept(config::cache_key(op, args_repr));
    }
    if (!kept) {
        throw OfflineError("offline: no stored answer for the " + std::string(op.what) +
                           "; run the command once online");
    }
    if (on_stored_answer) {
        on_stored_answer(op.what, kept->stored_at);
    }
    m_answers_stored_at = std::min(m_answers_stored_at.value_or(kept->stored_at), kept->stored_at);
    return std::move(kept->value);
}

Context::Context(core::Output& out_,
                 core::Clock& clock_,
                 net::HttpClient& http_,
                 engine::ProcessRunner& runner_,
                 config::Environment environment)
    : m_guarded_http(http_), out(out_), clock(clock_), http(m_guarded_http), runner(runner_),
      m_environment(std::move(environment)), m_lookup(config::lookup_in(m_environment)),
      m_target(runner_, m_environment) {}

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

const records::VorpaneConfig& Context::stored_config() {
    return once(m_stored, m_stored_error, [this] { return config::load_config(config_dir()); });
}

const records::VorpaneConfig& Context::config() {
    return once(m_config, m_config_error, [this] {
        const auto id = config::non_empty_env(m_lookup, "VORPANE_TOKEN_ID");
        const auto token = config::non_empty_env(m_lookup, "VORPANE_TOKEN");
        if (id && token) {
            m_source = CredentialsSource::environment;
            return records::VorpaneConfig{
                records::VorpaneProfile{*id,
                                        *token,
                                        config::derive_cloud_environment(
                                            m_lookup("VORPANE_CLOUD_ENVIRONMENT").value_or("")),
                                        {}},
                records::VorpaneOptions{}};
        }
        if (id || token) {
            throw core::VorpaneException(
                std::string(id ? "VORPANE_TOKEN" : "VORPANE_TOKEN_ID") +
                " is not set: set both VORPANE_TOKEN_ID and VORPANE_TOKEN, or neither");
        }
        const records::VorpaneConfig& stored = stored_config();
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

const records::VorpaneProfile& Context::profile() {
    if (!m_profile && !m_profile_error) {
        try {
            records::VorpaneProfile found = config().profile;
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

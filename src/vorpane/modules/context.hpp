#pragma once

#include "vorpane/api/request.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/clock.hpp"
#include "vorpane/core/output.hpp"
#include "vorpane/engine/runner.hpp"
#include "vorpane/engine/target.hpp"
#include "vorpane/net/http.hpp"
#include "vorpane/records/records.hpp"

#include <nlohmann/json.hpp>

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vorpane::modules {

// What an offline run cannot do: an answer it needs is not stored, or something tried to connect.
class OfflineError : public core::VorpaneException {
  public:
    using core::VorpaneException::VorpaneException;
};

// The variable that asks for offline runs.
inline constexpr std::string_view OFFLINE_VARIABLE = "VORPANE_OFFLINE";

// "N minutes" (under an hour), "N hours" (under a day) or "N days", rounded down; "1 minute" etc.
std::string describe_age(double seconds);

// An HTTP client that passes everything on to another one, unless it was told to refuse: then
// every request and download throws OfflineError without connecting.
class GuardedHttpClient final : public net::HttpClient {
  public:
    explicit GuardedHttpClient(net::HttpClient& inner) : m_inner(inner) {}
    void refuse(bool refuse) noexcept { m_refuse = refuse; }
    net::HttpResponse send(const net::HttpRequest& request) override;
    void download(const std::vector<net::DownloadJob>& jobs,
                  const net::DownloadHandlers& handlers,
                  const util::ProgressOutput& progress,
                  const net::DownloadLimits& limits) override;

  private:
    net::HttpClient& m_inner;
    bool m_refuse = false;
};

// What one run of the tool knows and uses, built once by the front end and passed down by
// reference: the output sink, the clock, the HTTP client and the process runner (all replaced in
// tests), the environment the run was started with, and what follows from it: the per-user
// directories, the stored configuration, the result cache and the target environment, each
// resolved, read, opened or detected once on first use.
class Context {
    // Declared first: `http` refers to it.
    GuardedHttpClient m_guarded_http;

  public:
    Context(core::Output& out,
            core::Clock& clock,
            net::HttpClient& http,
            engine::ProcessRunner& runner,
            config::Environment environment);
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    core::Output& out;
    core::Clock& clock;
    // The client the run was given, refusing every connection once the run is offline.
    net::HttpClient& http;
    engine::ProcessRunner& runner;

    // Where the credentials in effect come from.
    enum class CredentialsSource { file, environment, store };

    // The environment the run was started with: what children inherit.
    [[nodiscard]] const config::Environment& environment() const noexcept { return m_environment; }
    // Looks a variable up in that environment.
    [[nodiscard]] std::optional<std::string> env(const std::string& name) const {
        return m_lookup(name);
    }
    // The lookup env() uses, for the lower layers.
    [[nodiscard]] const config::EnvLookup& lookup() const noexcept { return m_lookup; }
    // Selects the named profile as VORPANE_PROFILE would (the command line's --profile wins over
    // the variable); before anything of the profile has been looked at.
    void select_profile(const std::string& name) { m_environment["VORPANE_PROFILE"] = name; }

    // Makes the run offline when `option` (--offline) is set or VORPANE_OFFLINE is 1, true or yes;
    // 0, false, no and empty mean online. Throws core::VorpaneException naming the variable for
    // any other value, unless `option` is set.
    void resolve_offline(bool option);
    // Whether the run is offline: it opens no network connection of its own.
    [[nodiscard]] bool offline() const noexcept { return m_offline; }
    // The answer of `op`: online through config::cached_call with `fetch`; offline the stored
    // one whatever its age (stored_answer).
    nlohmann::json answer(const config::CachedOperation& op,
                          const std::function<nlohmann::json()>& fetch,
                          std::string_view args_repr = "(){}");
    // The kept answer of `op`, whatever its age, noted for answers_stored_at() and passed to
    // on_stored_answer. Throws OfflineError "offline: no stored answer for the <what>;
    // run the command once online" when none is kept.
    nlohmann::json stored_answer(const config::CachedOperation& op,
                                 std::string_view args_repr = "(){}");
    // Told of each answer stored_answer() serves: what it is and when it was stored.
    std::function<void(std::string_view what, double stored_at)> on_stored_answer;
    // When the oldest answer stored_answer() served was stored (seconds since the epoch).
    [[nodiscard]] std::optional<double> answers_stored_at() const noexcept {
        return m_answers_stored_at;
    }

    // The per-user directories for this environment, resolved once. Throws like
    // config::resolve_app_dirs.
    const config::AppDirs& dirs();
    // The configuration directory, created and checked (config::checked_config_dir) once; throws
    // like dirs() and checked_config_dir, the same error on every call.
    const std::filesystem::path& config_dir();
    // The examples directory below the data directory, created when missing.
    std::filesystem::path examples_dir();

    // The configuration file as stored, read on the first call; later calls give the same record
    // or throw the same error: core::ValidationError when it holds no valid profile (an empty
    // file included), config::ConfigParseError, std::system_error /
    // std::filesystem::filesystem_error, and what config_dir() throws.
    const records::VorpaneConfig& stored_config();
    // The configuration in effect, made on the first call; later calls give the same record or
    // throw the same error. When VORPANE_TOKEN_ID and VORPANE_TOKEN are both set (an empty value
    // counts as unset) the profile is theirs, with VORPANE_CLOUD_ENVIRONMENT, and the file is not
    // read; only one of them set throws core::VorpaneException naming the missing one. Otherwise
    // stored_config().
    const records::VorpaneConfig& config();
    // The source of config()'s profile; throws like config().
    CredentialsSource credentials_source();

    // The number of HTTP retries VORPANE_HTTP_RETRIES asks for (net::parse_retry_count).
    // Throws core::VorpaneException quoting the value when it is not one.
    [[nodiscard]] unsigned http_retries() const;

    // The result cache in the configuration directory, opened on the first call (a cache that
    // cannot be opened acts as an empty one). With credentials from the environment, or without
    // a configuration directory, it is disabled: the stored answers belong to the stored
    // profile. Throws config::UnsafeStateError when the directory or the store belongs to
    // another user or others may write to it.
    config::ResultCache& cache();
    // The target Python environment.
    engine::TargetEnvironment& target() { return m_target; }
    // config()'s profile with its secret: from a credential store, the helper is asked on the
    // first call only. Throws like config(), and CredentialStoreError (credentials.hpp).
    const records::VorpaneProfile& profile();
    // What a call of the service needs: profile(), the HTTP client and the cache. Throws like
    // profile().
    api::ServiceAccess service();

  private:
    config::Environment m_environment;
    config::EnvLookup m_lookup;
    std::optional<config::AppDirs> m_dirs;
    std::optional<std::filesystem::path> m_config_dir;
    std::exception_ptr m_config_dir_error;
    std::optional<records::VorpaneConfig> m_stored;
    std::exception_ptr m_stored_error;
    std::optional<records::VorpaneConfig> m_config;
    CredentialsSource m_source = CredentialsSource::file;
    std::exception_ptr m_config_error;
    std::optional<records::VorpaneProfile> m_profile;
    std::exception_ptr m_profile_error;
    std::optional<config::ResultCache> m_cache;
    engine::TargetEnvironment m_target;
    bool m_offline = false;
    std::optional<double> m_answers_stored_at;
};

} // namespace vorpane::modules

#include "vorpane/api/endpoints.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/credentials.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/sqlite.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

namespace vorpane::cli::commands {

namespace {

namespace fs = std::filesystem;

// The first line of `text`, escaped, or "" when there is none.
std::string first_line(const std::string& text) {
    return util::escape_control(text.substr(0, text.find('\n')));
}

// One row of the cache file: which answer, stored how long ago, live for how much longer.
struct CacheEntry {
    std::string what;
    long age_seconds;
    long expires_in_seconds;
};

// The entries of the cache file, read without changing it; empty when there is no readable file.
// `token_key` names the access token of the current profile (empty without one).
std::vector<CacheEntry>
cache_entries(const fs::path& file, double now, const std::string& token_key) {
    struct Known {
        std::string_view identity;
        int ttl;
        const char* what;
        // Stored once per profile, with the profile's digest as the key's arguments.
        bool per_profile = false;
    };
    const Known known[] = {
        {config::ACCESS_TOKEN_IDENTITY, config::ACCESS_TOKEN_TTL, "access token", true},
        {config::ENTITLEMENTS_IDENTITY, config::ENTITLEMENTS_TTL, "entitlements"},
        {config::PACKAGES_IDENTITY, config::PACKAGES_TTL, "package list"},
    };
    std::vector<CacheEntry> entries;
    try {
        // Only a store of the user's own, in a directory of the user's own, is read.
        (void)config::_get_config_dir();
        // The lock too: the next run that takes it would stop there.
        for (const fs::path& each : {file.parent_path() / config::CACHE_LOCK_FILE_NAME, file}) {
            util::UniqueFd fd(::open(each.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat info {};
            if (fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)) {
                config::check_own_state(info, each);
            } else if (each == file) {
                return entries;
            }
        }
        util::Db db(file, SQLITE_OPEN_READONLY);
        util::Stmt rows(db, "SELECT key, expires FROM cache ORDER BY key");
        while (rows.step()) {
            const std::string key = rows.column_text(0);
            const double expires = rows.column_double(1);
            CacheEntry entry{"other", 0, std::lround(expires - now)};
            for (const auto& k : known) {
                if (k.per_profile ? key.rfind(config::cache_key(k.identity, ""), 0) == 0
                                  : key == config::cache_key(k.identity)) {
                    entry.what = std::string(k.what) +
                                 (k.per_profile && key != token_key ? " of another profile" : "");
                    entry.age_seconds = std::lround(now - (expires - k.ttl));
                }
            }
            entries.push_back(entry);
        }
    } catch (const config::UnsafeStateError&) {
        throw;
    } catch (const std::exception&) {
        // A cache that cannot be read holds nothing worth reporting.
        entries.clear();
    }
    return entries;
}

// The profile in effect and its directory, without creating anything; an invalid selection is
// shown as the default's place, and reported by the configuration.
struct ProfileShown {
    std::optional<std::string> name;
    fs::path dir;
};

ProfileShown shown_profile(const fs::path& root) {
    try {
        auto name = config::selected_profile(config::process_env());
        return {name, config::profile_dir(root, name)};
    } catch (const core::VorpaneException&) {
        return {std::nullopt, root};
    }
}

} // namespace

CLI::App* add_status(CLI::App& app, StatusOptions& options) {
    CLI::App* status = app.add_subcommand(
        "status", "Show the configuration, check the credentials with the service, and show the "
                  "Python environment, uv and the cache.");
    status->set_help_flag();
    status->add_flag("--json", options.json, "Print the report as one JSON document.");
    return status;
}

void run_status(modules::Context& ctx, const StatusOptions& options) {
    core::Output& out = ctx.out;
    const auto dirs = config::resolve_app_dirs(config::current_platform(), config::process_env());
    const ProfileShown shown = shown_profile(dirs.config_dir);
    const fs::path config_file = shown.dir / config::CONFIG_FILE_NAME;
    const fs::path cache_file = shown.dir / config::CACHE_FILE_NAME;
    std::vector<std::string> problems;

    nlohmann::ordered_json doc = {
        {"schema", 1}, {"config_file", config_file.string()}, {"config_problem", nullptr}};
    doc["profile_name"] = shown.name ? nlohmann::ordered_json(*shown.name) : nullptr;
    std::vector<std::pair<std::string, std::string>> lines;
    lines.emplace_back("Profile name", shown.name ? *shown.name : "(default)");
    lines.emplace_back("Configuration file", util::escape_control(config_file.string()));

    const config::VorpaneConfig* conf = nullptr;
    std::string token_key;
    try {
        conf = &ctx.config();
    } catch (const core::ValidationError&) {
        lines.emplace_back("Profile", "none stored");
    } catch (const std::exception& e) {
        // A file that cannot be used, or half-set credentials in the environment.
        const std::string reason = first_line(e.what());
        doc["config_problem"] = reason;
        lines.emplace_back("Profile", "none (" + reason + ")");
        problems.push_back(reason);
    }
    if (conf != nullptr) {
        const bool from_env =
            ctx.credentials_source() == modules::Context::CredentialsSource::environment;
        const auto& stored = conf->profile;
        const std::string environment = stored.cloud_environment;
        doc["profile"] = {{"token_id", stored.token_id}, {"cloud_environment", environment}};
        doc["credentials_source"] = from_env ? "environment" : "file";
        const std::string store = from_env                          ? "environment"
                                  : stored.credential_store.empty() ? "file"
                                                                    : stored.credential_store;
        doc["credentials_store"] = store;
        lines.emplace_back("Secret kept in", store == "file" || store == "environment"
                                                 ? "the " + store
                                                 : "credential store " + store);
        doc["services"] = {{"token", api::_get_token_api_url(environment)},
                           {"entitlements", api::_get_entitlement_api_url(environment)}};
        lines.emplace_back(
            "Profile",
            "token id " + util::escape_control(stored.token_id) + " (from " +
                (from_env ? "VORPANE_TOKEN_ID and VORPANE_TOKEN" : "the configuration file") + ")");
        lines.emplace_back("Cloud environment", environment);
        lines.emplace_back("Token service", api::_get_token_api_url(environment));
        lines.emplace_back("Entitlement service", api::_get_entitlement_api_url(environment));
        // Always a fresh exchange: a cached token proves nothing about the credentials now.
        std::string verdict;
        try {
            const auto& profile = ctx.profile();
            token_key = config::access_token_key(profile);
            const api::TokenOutcome outcome = api::_get_access_token(profile, ctx.http);
            if (outcome.token) {
                doc["credentials"] = "valid";
                verdict = "valid";
            } else if (outcome.failure.rfind("Authentication failed", 0) == 0) {
                doc["credentials"] = "rejected";
                verdict = "rejected (HTTP " +
                          outcome.failure.substr(outcome.failure.rfind(' ') + 1) + ")";
            } else {
                doc["credentials"] = "unreachable";
                verdict = "service unreachable: " + first_line(outcome.failure);
            }
        } catch (const modules::CredentialStoreError& e) {
            doc["credentials"] = "unusable";
            verdict = "unusable: " + first_line(e.what());
        } catch (const api::TokenServiceError& e) {
            doc["credentials"] = "unusable";
            verdict = "unusable: " + first_line(e.what());
        } catch (const std::exception& e) {
            doc["credentials"] = "unreachable";
            verdict = "service unreachable: " + first_line(e.what());
        }
        lines.emplace_back("Credentials", verdict);
        if (doc["credentials"] != "valid") {
            problems.push_back("the credentials are " + doc["credentials"].get<std::string>());
        }
    } else {
        doc["profile"] = nullptr;
        doc["credentials_source"] = nullptr;
        doc["credentials_store"] = nullptr;
        doc["credentials"] = "missing";
        lines.emplace_back("Credentials", "missing: run 'vorpane init'");
        if (problems.empty()) {
            problems.emplace_back("there are no credentials");
        }
    }

    try {
        auto& target = ctx.target();
        const auto [major, minor] = target.python_version();
        const std::string version = std::to_string(major) + "." + std::to_string(minor);
        doc["environment"] = {{"prefix", target.root()}, {"python_version", version}};
        bool supported = false;
        for (const auto& pair : config::SUPPORTED_PYTHON_VERSIONS) {
            supported = supported || pair == std::pair{major, minor};
        }
        lines.emplace_back("Environment", util::escape_control(target.root()) + " (Python " +
                                              version + (supported ? "" : ", not supported") + ")");
        if (!supported) {
            problems.push_back("Python " + version + " is not supported");
        }
    } catch (const std::exception& e) {
        doc["environment"] = nullptr;
        lines.emplace_back("Environment", "not found: " + first_line(e.what()));
        problems.emplace_back("no Python environment was found");
    }

    try {
        auto& target = ctx.target();
        const std::string& uv = target.uv();
        util::ProcessOptions capture;
        capture.capture = true;
        const auto result = ctx.runner.run({uv, "--version"}, target.child_env(), capture);
        const std::string version =
            result.returncode == 0 ? first_line(result.out.value_or("")) : "";
        doc["uv"] = {{"path", uv},
                     {"version", version.empty() ? nlohmann::ordered_json(nullptr)
                                                 : nlohmann::ordered_json(version)}};
        lines.emplace_back("uv", util::escape_control(uv) +
                                     (version.empty() ? " (no version)" : " (" + version + ")"));
    } catch (const core::Aborted&) {
        throw;
    } catch (const std::exception& e) {
        doc["uv"] = nullptr;
        lines.emplace_back("uv", "not found: " + first_line(e.what()));
        problems.emplace_back("uv was not found");
    }

    doc["cache_file"] = cache_file.string();
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    std::string cache_text = util::escape_control(cache_file.string());
    std::vector<CacheEntry> found;
    try {
        found = cache_entries(cache_file, ctx.clock.now(), token_key);
        if (found.empty()) {
            cache_text += " (no entries)";
        }
    } catch (const config::UnsafeStateError& e) {
        cache_text += " (not read)";
        if (std::find(problems.begin(), problems.end(), e.message()) == problems.end()) {
            problems.push_back(e.message());
        }
    }
    for (const auto& entry : found) {
        entries.push_back({{"entry", entry.what},
                           {"age_seconds", entry.age_seconds},
                           {"expires_in_seconds", entry.expires_in_seconds}});
        cache_text += fmt::format("\n  {}: stored {} s ago, {}", entry.what, entry.age_seconds,
                                  entry.expires_in_seconds > 0
                                      ? fmt::format("expires in {} s", entry.expires_in_seconds)
                                      : std::string("expired"));
    }
    doc["cache_entries"] = std::move(entries);
    lines.emplace_back("Cache", cache_text);

    if (options.json) {
        send_json(out, doc);
    } else {
        for (const auto& [name, value] : lines) {
            out.send_message(fmt::format("{:<20} {}", name + ":", value));
        }
    }
    if (!problems.empty()) {
        std::string text;
        for (const auto& problem : problems) {
            text += (text.empty() ? "" : "; ") + problem;
        }
        throw core::VorpaneException("not ready: " + text);
    }
}

} // namespace vorpane::cli::commands

#pragma once

#include "vorpane/api/token.hpp"
#include "vorpane/modules/context.hpp"
#include "vorpane/records/records.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorpane::modules {

// What `status` found: the configuration, the credentials as the service judges them now, the
// target environment, uv and the result cache. Texts taken from errors are their first line,
// escaped.
struct StatusReport {
    // The named profile in effect; std::nullopt for the default one.
    std::optional<std::string> profile_name;
    std::filesystem::path config_file;
    std::filesystem::path cache_file;

    // The profile in effect and where it came from; std::nullopt without one.
    std::optional<records::VorpaneProfile> profile;
    Context::CredentialsSource source = Context::CredentialsSource::file;
    // Why the configuration cannot be used (a file that does not parse, half-set credentials in
    // the environment, a directory of another user's); std::nullopt when it is merely empty.
    std::optional<std::string> config_problem;
    std::string token_service;
    std::string entitlement_service;

    // `unchecked`: the run is offline, so no exchange was tried.
    enum class Credentials { valid, rejected, unreachable, unusable, missing, unchecked };
    Credentials credentials = Credentials::missing;
    // The exchange, when it ended with an outcome.
    std::optional<api::TokenOutcome> exchange;
    // What the exchange threw instead.
    std::string exchange_error;

    struct Environment {
        std::string prefix;
        int major = 0;
        int minor = 0;
        bool supported = false;
    };
    std::optional<Environment> environment;
    std::string environment_error;

    struct Uv {
        std::string path;
        // Empty when it told none.
        std::string version;
    };
    std::optional<Uv> uv;
    std::string uv_error;

    struct CacheEntry {
        // "access token", "access token of another profile", "entitlements", "package list",
        // "package index address" or "other".
        std::string what;
        long age_seconds = 0;
        long expires_in_seconds = 0;
    };
    std::vector<CacheEntry> cache_entries;
    // The store, its lock or its directory belongs to another user: it was not read.
    std::optional<std::string> cache_unsafe;
};

// Looks at everything status reports; the token exchange is always a fresh one (a cached token
// proves nothing about the credentials now). Throws what Context::dirs throws, and
// core::Aborted when Ctrl-C ended a child.
StatusReport build_status(Context& ctx);

} // namespace vorpane::modules

#include "vorpane/modules/status.hpp"

#include "vorpane/api/endpoints.hpp"
#include "vorpane/api/package_index.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/python.hpp"
#include "vorpane/modules/credentials.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

#include <cmath>

namespace vorpane::modules {

namespace {

// The first line of an error text, escaped for the terminal.
std::string shown_line(const std::string& text) {
    return util::escape_control(util::first_line(text));
}

void check_credentials(Context& ctx, StatusReport& report, std::string& token_key) {
    using Credentials = StatusReport::Credentials;
    try {
        // With the secret in a credential store, this is where the helper is asked.
        const records::VorpaneProfile& profile = ctx.profile();
        token_key = api::access_token_key(profile);
        if (ctx.offline()) {
            report.credentials = Credentials::unchecked;
            return;
        }
        api::TokenOutcome outcome = api::get_access_token(profile, ctx.http);
        switch (outcome.kind) {
        case api::TokenOutcome::Kind::ok:
            report.credentials = Credentials::valid;
            break;
        case api::TokenOutcome::Kind::rejected:
            report.credentials = Credentials::rejected;
            break;
        case api::TokenOutcome::Kind::unreachable:
        case api::TokenOutcome::Kind::local_failure:
            report.credentials = Credentials::unreachable;
            break;
        }
        report.exchange = std::move(outcome);
    } catch (const CredentialStoreError& e) {
        report.credentials = Credentials::unusable;
        report.exchange_error = shown_line(e.what());
    } catch (const api::TokenServiceError& e) {
        report.credentials = Credentials::unusable;
        report.exchange_error = shown_line(e.what());
    } catch (const std::exception& e) {
        report.credentials = Credentials::unreachable;
        report.exchange_error = shown_line(e.what());
    }
}

void look_at_environment(Context& ctx, StatusReport& report) {
    try {
        auto& target = ctx.target();
        const auto [major, minor] = target.python_version();
        bool supported = false;
        for (const auto& pair : engine::SUPPORTED_PYTHON_VERSIONS) {
            supported = supported || pair == std::pair{major, minor};
        }
        report.environment = StatusReport::Environment{target.root(), major, minor, supported};
    } catch (const std::exception& e) {
        report.environment_error = shown_line(e.what());
    }
    try {
        auto& target = ctx.target();
        const std::string& uv = target.uv();
        util::ProcessOptions capture;
        capture.capture = true;
        const auto result = ctx.runner.run({uv, "--version"}, target.child_env(), capture);
        report.uv = StatusReport::Uv{
            uv, result.returncode == 0 ? shown_line(result.out.value_or("")) : std::string()};
    } catch (const core::Aborted&) {
        throw;
    } catch (const std::exception& e) {
        report.uv_error = shown_line(e.what());
    }
}

// The entries of the store, read without changing it; `token_key` names the access token of
// the current profile (empty without one).
void look_at_cache(Context& ctx, StatusReport& report, const std::string& token_key) {
    struct Known {
        const config::CachedOperation& op;
        // Stored once per profile, with the profile's digest as the key's arguments.
        bool per_profile = false;
    };
    const Known known[] = {
        {api::ACCESS_TOKEN_ANSWER, true},
        {ENTITLEMENTS_ANSWER},
        {PACKAGE_LIST_ANSWER},
        {api::PACKAGE_INDEX_ANSWER},
    };
    std::vector<config::ResultCache::StoredEntry> stored;
    try {
        // Only a store of the user's own, in a directory of the user's own, is read.
        stored = config::ResultCache::peek(ctx.config_dir());
    } catch (const config::UnsafeStateError& e) {
        report.cache_unsafe = e.message();
        return;
    } catch (const std::exception&) {
        // No directory: nothing worth reporting.
        return;
    }
    const double now = ctx.clock.now();
    for (const auto& [key, expires, stored_at] : stored) {
        StatusReport::CacheEntry entry{"other", 0, std::lround(expires - now)};
        for (const auto& k : known) {
            if (k.per_profile ? key.rfind(config::cache_key(k.op, ""), 0) == 0
                              : key == config::cache_key(k.op)) {
                entry.what = std::string(k.op.what) +
                             (k.per_profile && key != token_key ? " of another profile" : "");
                // Entries of older versions tell no time of storing: their expiry does.
                entry.age_seconds =
                    std::lround(now - (stored_at > 0 ? stored_at : expires - k.op.ttl));
            }
        }
        report.cache_entries.push_back(entry);
    }
}

} // namespace

StatusReport build_status(Context& ctx) {
    StatusReport report;
    // The profile in effect, found without creating anything; an invalid selection shows the
    // default's place and is reported as the configuration's problem.
    std::filesystem::path dir = ctx.dirs().config_dir;
    try {
        report.profile_name =
            config::selected_profile([&ctx](const std::string& name) { return ctx.env(name); });
        dir = config::profile_dir(dir, report.profile_name);
    } catch (const core::VorpaneException&) {
        report.profile_name.reset();
    }
    report.config_file = dir / config::CONFIG_FILE_NAME;
    report.cache_file = dir / config::CACHE_FILE_NAME;

    std::string token_key;
    try {
        report.profile = ctx.config().profile;
        report.source = ctx.credentials_source();
    } catch (const core::ValidationError&) {
        // Nothing stored yet.
    } catch (const std::exception& e) {
        report.config_problem = shown_line(e.what());
    }
    if (report.profile) {
        const std::string& environment = report.profile->cloud_environment;
        report.token_service = api::get_token_api_url(environment);
        report.entitlement_service = api::get_entitlement_api_url(environment);
        check_credentials(ctx, report, token_key);
    }
    look_at_environment(ctx, report);
    look_at_cache(ctx, report, token_key);
    return report;
}

} // namespace vorpane::modules

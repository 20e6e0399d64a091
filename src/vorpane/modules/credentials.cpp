#include "vorpane/modules/credentials.hpp"

#include "vorpane/api/endpoints.hpp"
#include "vorpane/util/credential_helper.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/redact.hpp"

#include <charconv>

namespace vorpane::modules {

namespace {

using Kind = util::CredentialReply::Kind;

util::CredentialHelper helper_for(const records::VorpaneProfile& profile,
                                  const config::Environment& environment) {
    util::CredentialHelper helper{profile.credential_store, environment,
                                  credential_timeout(config::lookup_in(environment))};
    // The helper has no business with credentials from the environment.
    helper.env.erase("VORPANE_TOKEN");
    return helper;
}

// Turns a reply that is not `ok` into the user's one line; `action` is what was being done.
void check(const util::CredentialReply& reply,
           const util::CredentialHelper& helper,
           const records::VorpaneProfile& profile,
           const std::string& action) {
    const std::string program = helper.program();
    switch (reply.kind) {
    case Kind::ok:
        return;
    case Kind::missing:
        throw CredentialStoreError("credential store \"" + helper.name + "\": " + program +
                                   " was not found on PATH (Debian ships the helpers in the " +
                                   CREDENTIAL_HELPERS_PACKAGE + " package)");
    case Kind::timed_out:
        throw CredentialStoreError(
            program + " did not answer within " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(helper.timeout).count()) +
            " s while " + action + " and was stopped (VORPANE_CREDENTIAL_TIMEOUT sets the limit)");
    case Kind::not_found:
        throw CredentialStoreError(program + " holds no secret for token id " +
                                   util::escape_control(profile.token_id) +
                                   "; run 'vorpane init --credential-store " + helper.name + "'");
    case Kind::failed:
        throw CredentialStoreError(program + " failed while " + action + " (exit status " +
                                   std::to_string(reply.returncode) + ")" +
                                   (reply.message.empty() ? "" : ": " + reply.message));
    case Kind::malformed:
        throw CredentialStoreError(program + " answered something that is not a credential entry "
                                             "(a JSON object with Username and Secret)");
    }
}

} // namespace

std::string credential_server_url(const records::VorpaneProfile& profile) {
    return api::get_token_api_url(profile.cloud_environment) + "/oauth/token#" + profile.token_id;
}

std::chrono::milliseconds credential_timeout(const config::EnvLookup& env) {
    const auto text = config::non_empty_env(env, "VORPANE_CREDENTIAL_TIMEOUT");
    if (!text) {
        return std::chrono::seconds(10);
    }
    int seconds = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), seconds);
    if (ec != std::errc() || end != text->data() + text->size() || seconds < 1 || seconds > 300) {
        throw core::VorpaneException(
            "VORPANE_CREDENTIAL_TIMEOUT must be a whole number of seconds from 1 to 300");
    }
    return std::chrono::seconds(seconds);
}

std::string fetch_secret(const records::VorpaneProfile& profile,
                         const config::Environment& environment) {
    const auto helper = helper_for(profile, environment);
    const auto reply = util::credential_get(helper, credential_server_url(profile));
    check(reply, helper, profile, "reading the secret");
    return reply.secret;
}

void store_secret(const records::VorpaneProfile& profile, const config::Environment& environment) {
    const auto helper = helper_for(profile, environment);
    const std::string url = credential_server_url(profile);
    check(util::credential_store(helper, url, profile.token_id, profile.token), helper, profile,
          "storing the secret");
    const auto reply = util::credential_get(helper, url);
    check(reply, helper, profile, "reading the secret back");
    if (reply.secret != profile.token || reply.username != profile.token_id) {
        throw CredentialStoreError(helper.program() +
                                   " did not give back the secret it was given to store");
    }
}

void erase_secret(const records::VorpaneProfile& profile, const config::Environment& environment) {
    const auto helper = helper_for(profile, environment);
    const auto reply = util::credential_erase(helper, credential_server_url(profile));
    if (reply.kind != Kind::not_found) {
        check(reply, helper, profile, "removing the secret");
    }
}

} // namespace vorpane::modules

#pragma once

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/records/records.hpp"

#include <chrono>
#include <string>

namespace vorpane::modules {

// A credential store that could not do what was asked; the message is one line, names the
// helper, and never holds the secret or what the helper printed instead of its answer.
class CredentialStoreError : public core::VorpaneException {
  public:
    using core::VorpaneException::VorpaneException;
};

// The Debian package that ships the helpers of the shared protocol.
inline constexpr const char* CREDENTIAL_HELPERS_PACKAGE = "golang-docker-credential-helpers";

// The keyring entry of `profile`: its environment's token service address, "#" and the token
// id, so that one keyring holds several accounts.
std::string credential_server_url(const records::VorpaneProfile& profile);

// VORPANE_CREDENTIAL_TIMEOUT (whole seconds, 1 to 300), 10 s when unset. Throws
// core::VorpaneException for anything else.
std::chrono::milliseconds credential_timeout(const config::EnvLookup& env);

// The secret of `profile` from its store (`profile.credential_store`), asked once. Throws
// CredentialStoreError when the helper is missing, times out, has no entry, fails or answers
// something else than the entry.
std::string fetch_secret(const records::VorpaneProfile& profile,
                         const config::Environment& environment);

// Stores `profile.token` with its store and reads it back to check it. Throws
// CredentialStoreError like fetch_secret, also when the entry does not read back unchanged.
void store_secret(const records::VorpaneProfile& profile, const config::Environment& environment);

// Removes the entry of `profile` from its store; an entry already gone is fine. Throws
// CredentialStoreError like fetch_secret.
void erase_secret(const records::VorpaneProfile& profile, const config::Environment& environment);

} // namespace vorpane::modules

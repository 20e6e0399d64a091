#pragma once

#include <chrono>
#include <map>
#include <string>

namespace vorpane::util {

// The keyring protocol that docker, podman and others share: the program
// "docker-credential-NAME" on PATH, called with "store", "get" or "erase" as its only argument,
// reads its request on standard input and answers on standard output. Secrets travel only
// through those two pipes.
struct CredentialHelper {
    // NAME, as in "docker-credential-NAME".
    std::string name;
    // The child's whole environment; its PATH finds the program.
    std::map<std::string, std::string> env;
    // How long one call may take before the helper and its process group are killed.
    std::chrono::milliseconds timeout{10000};

    // "docker-credential-" + name.
    [[nodiscard]] std::string program() const;
};

// How one call of a helper ended.
struct CredentialReply {
    enum class Kind {
        ok,
        // No such program on PATH (or it cannot be started).
        missing,
        // Killed after `timeout`.
        timed_out,
        // The helper knows no entry for the URL.
        not_found,
        // It exited non-zero for another reason.
        failed,
        // "get" succeeded but did not answer the JSON object with string fields.
        malformed,
    };
    Kind kind = Kind::ok;
    // From "get": the entry's user name and secret.
    std::string username;
    std::string secret;
    // For `failed`: the helper's first line of output, with control characters escaped and any
    // copy of the secret masked; empty when it printed nothing.
    std::string message;
    // For `failed`: its exit status (negative: the signal that ended it).
    int returncode = 0;
};

// Asks the helper for the entry of `server_url`. Throws std::system_error when pipes fail and
// util::Interrupted on SIGINT.
CredentialReply credential_get(const CredentialHelper& helper, const std::string& server_url);
// Stores `secret` for `server_url` under `username`. Throws like credential_get.
CredentialReply credential_store(const CredentialHelper& helper,
                                 const std::string& server_url,
                                 const std::string& username,
                                 const std::string& secret);
// Removes the entry of `server_url`. Throws like credential_get.
CredentialReply credential_erase(const CredentialHelper& helper, const std::string& server_url);

} // namespace vorpane::util

#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::test {

// The sandbox's fake cloud on a free loopback port, serving HTTPS with a CA made for this
// instance. Starting it throws std::runtime_error (with the server's output) when it fails.
class LocalCloud {
  public:
    LocalCloud();
    ~LocalCloud();
    LocalCloud(const LocalCloud&) = delete;
    LocalCloud& operator=(const LocalCloud&) = delete;

    // The CA file a client must trust (for example through SSL_CERT_FILE).
    [[nodiscard]] std::filesystem::path ca() const { return m_dir.path() / "certs" / "ca.pem"; }
    // "https://localhost:PORT".
    [[nodiscard]] std::string base() const;
    [[nodiscard]] std::filesystem::path state() const { return m_dir.path() / "state"; }

    // Replaces the account the server answers from (it reads it on every request).
    void set_account(const nlohmann::json& account) const;
    // Empties the request log.
    void clear_log() const;
    // The logged requests, once at least `expected` are there (each is logged just after its
    // answer went out).
    [[nodiscard]] std::vector<nlohmann::json> requests(std::size_t expected = 0) const;

  private:
    TempDir m_dir;
    pid_t m_pid = 0;
    int m_port = 0;
};

} // namespace vorpane::test

#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run.hpp"
#include "support/temp_home.hpp"

namespace vorpane::test {

using Args = std::vector<std::string>;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// The number of lines in `text`: a one-line message has exactly one.
inline auto lines_in(const std::string& text) {
    return std::ranges::count(text, '\n');
}

// The sandbox's fake cloud, package index and uv stand-in, started once for the suite by the
// CTest fixture.
class Sandbox {
  public:
    static Sandbox& instance();
    [[nodiscard]] const std::filesystem::path& dir() const { return m_dir; }
    [[nodiscard]] const nlohmann::json& env() const { return m_env; }
    [[nodiscard]] std::string at(const char* key) const { return m_env.at(key).get<std::string>(); }
    [[nodiscard]] std::filesystem::path ca_file() const { return at("SSL_CERT_FILE"); }
    [[nodiscard]] std::filesystem::path bin_dir() const { return at("bin_dir"); }
    [[nodiscard]] std::string index_url() const { return at("index_url"); }

    // The demo account as the sandbox ships it (credentials, entitlements, packages...).
    [[nodiscard]] nlohmann::json demo_account() const;
    // Replaces the account the fake cloud serves (read afresh on every request).
    void write_account(const nlohmann::json& account) const;
    // Every request the fake cloud logged since the last clear_log().
    [[nodiscard]] std::vector<nlohmann::json> requests() const;
    void clear_log() const;
    // The connections the fake cloud accepted since the last clear_log(), requests or not.
    [[nodiscard]] size_t connections() const;

  private:
    Sandbox();
    std::filesystem::path m_dir;
    nlohmann::json m_env;
};

// A test with a throw-away HOME, a fresh virtual environment and the sandbox's account reset to
// the demo account.
class E2ETest : public ::testing::Test {
  protected:
    void SetUp() override;

    // Runs the built vorpane with `args` and this test's environment, in the temporary root.
    RunResult vorpane(const std::vector<std::string>& args,
                      const std::optional<std::string>& input = std::nullopt,
                      bool pty = false,
                      int timeout_seconds = 120);
    // Stores the demo credentials with `vorpane init` (asserting it succeeds).
    void init_demo_profile();
    // A fresh virtual environment made from `python` (without pip).
    std::filesystem::path make_venv(const std::string& python, const std::string& name);

    [[nodiscard]] static Sandbox& sandbox() { return Sandbox::instance(); }
    [[nodiscard]] std::filesystem::path config_file() const {
        return m_home.config_dir() / "vorpane.toml";
    }

    ScopedHome m_home;
    std::filesystem::path m_venv;
    std::map<std::string, std::string> m_env;
};

// An entitlement record as the service sends it, without required entitlements.
nlohmann::json
entitlement(const std::string& name, const std::string& code, const nlohmann::json& packages);
// One JSON value per non-empty line of `path` (none when it does not exist).
std::vector<nlohmann::json> read_jsonl(const std::filesystem::path& path);
// The number of logged requests whose route is `route`.
size_t count_route(const std::vector<nlohmann::json>& requests, const std::string& route);

} // namespace vorpane::test

// What a run knows: credentials from the environment or the file, each read once.
#include "vorpane/config/config_file.hpp"
#include "vorpane/modules/context.hpp"

#include <gtest/gtest.h>

#include "support/temp_home.hpp"

namespace vorpane::modules {
namespace {

struct NoHttp : net::HttpClient {
    net::HttpResponse send(const net::HttpRequest&) override {
        throw std::logic_error("no request expected");
    }
};

// A run in a throw-away HOME whose environment is `vars` (HOME added).
class ContextTest : public ::testing::Test {
  protected:
    std::unique_ptr<Context> run(config::Environment vars) {
        vars.emplace("HOME", m_home.path().string());
        return std::make_unique<Context>(m_out, m_clock, m_http, m_runner, std::move(vars));
    }
    void store(const std::string& id) {
        const auto file = m_home.path() / ".config" / "Vorpane" / config::CONFIG_FILE_NAME;
        config::create_private_directories(file.parent_path());
        test::write_file(file, config::serialize_config({{id, "secret", "cloud"}, {}}));
    }

    test::TempDir m_home;
    core::Output m_out{core::TerminalInfo{}, core::Verbosity::normal, false,
                       [](int, std::string_view) { return 0; }};
    core::SystemClock m_clock;
    NoHttp m_http;
    engine::SystemProcessRunner m_runner{m_clock};
};

TEST_F(ContextTest, EnvironmentCredentialsWinAndHalfSetOnesNameTheMissingOne) {
    store("file-id");
    auto ctx = run({{"VORPANE_TOKEN_ID", "env-id"}, {"VORPANE_TOKEN", "env-secret"}});
    EXPECT_EQ(ctx->config().profile.token_id, "env-id");
    EXPECT_EQ(ctx->credentials_source(), Context::CredentialsSource::environment);
    // Answers for these credentials are never mixed into the stored profile's cache.
    EXPECT_FALSE(ctx->cache().enabled());
    EXPECT_EQ(ctx->stored_config().profile.token_id, "file-id");

    const std::vector<std::pair<config::Environment, std::string>> half = {
        {{{"VORPANE_TOKEN_ID", "env-id"}, {"VORPANE_TOKEN", ""}}, "VORPANE_TOKEN is not set"},
        {{{"VORPANE_TOKEN", "env-secret"}}, "VORPANE_TOKEN_ID is not set"},
    };
    for (const auto& [vars, missing] : half) {
        auto half_set = run(vars);
        EXPECT_EQ(test::what_of<core::VorpaneException>([&] {
                      half_set->config();
                  }).rfind(missing + ": set both", 0),
                  0U)
            << missing;
    }
    auto from_file = run({});
    EXPECT_EQ(from_file->config().profile.token_id, "file-id");
    EXPECT_EQ(from_file->credentials_source(), Context::CredentialsSource::file);
    EXPECT_TRUE(from_file->cache().enabled());
}

TEST_F(ContextTest, ConfigurationAndItsErrorAreReadOnce) {
    store("first");
    auto ctx = run({});
    EXPECT_EQ(ctx->config().profile.token_id, "first");
    store("second");
    EXPECT_EQ(ctx->config().profile.token_id, "first");
    EXPECT_EQ(&ctx->stored_config(), &ctx->stored_config());

    // An empty file: the same error each time, even once the file is fixed.
    test::write_file(ctx->config_dir() / config::CONFIG_FILE_NAME, "");
    auto empty = run({});
    EXPECT_THROW(empty->config(), config::InvalidConfigError);
    store("fixed");
    EXPECT_THROW(empty->config(), config::InvalidConfigError);
    EXPECT_THROW(run({{"HOME", ""}})->config_dir(), core::VorpaneException);
}

} // namespace
} // namespace vorpane::modules

#include "vorpane/api/request.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <memory>
#include <system_error>

#include "support/local_cloud.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::api {
namespace {

using nlohmann::json;
using Header = std::pair<std::string, std::string>;

TEST(RequestDescriptions, TheTokenRequestIsBoundedAndFollowsNoRedirect) {
    const net::HttpRequest token = token_request({"my-id", "s3cr:et", "cloud"}, "https://t");
    EXPECT_FALSE(token.follow_redirects);
    // However slowly the token service answers, the exchange ends within a minute.
    EXPECT_LE(token.timeout_seconds.value_or(net::MAX_REQUEST_SECONDS + 1),
              net::MAX_REQUEST_SECONDS);
    // An empty secret still sends "id:".
    EXPECT_EQ(token_request({"id", "", "cloud"}, "https://t").headers[0].second, "Basic aWQ6");
}

TEST(RequestDescriptions, BearerTokensAreB64Tokens) {
    EXPECT_TRUE(is_bearer_token("a.b_c~d+e/F9=="));
    for (const char* token : {"", "==", "a=b", "a b", "a\r\n", "\xc3\xa4"}) {
        EXPECT_FALSE(is_bearer_token(token)) << token;
    }
}

// The token exchange against the fake cloud. Requests keep their service URL in `m_sent`;
// the transfer itself goes to the fake cloud's port.
class CloudAccessTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_cloud = std::make_unique<test::LocalCloud>(); }
    static void TearDownTestSuite() { s_cloud.reset(); }

    void SetUp() override {
        s_cloud->clear_log();
        set_token("AT-1");
        store_profile("id", "secret", "cloud");
    }

    static void set_token(const std::string& token, const json& faults = json::object()) {
        s_cloud->set_account(
            {{"token_id", "id"}, {"token", "secret"}, {"access_token", token}, {"faults", faults}});
    }
    static void store_profile(const std::string& id,
                              const std::string& secret,
                              const std::string& environment) {
        records::VorpaneConfig conf;
        conf.profile = {id, secret, environment};
        config::write_config(conf);
    }

    // Sends through `send` (the fake cloud by default), keeping each service URL in `m_sent`.
    struct Client : net::HttpClient {
        using Send = std::function<net::HttpResponse(const net::HttpRequest&)>;
        explicit Client(Send fn) : send_fn(std::move(fn)) {}
        Send send_fn;
        net::HttpResponse send(const net::HttpRequest& request) override {
            return send_fn(request);
        }
    };
    net::HttpResponse to_cloud(const net::HttpRequest& request) {
        m_sent.push_back(request.url);
        net::HttpRequest local = request;
        local.url = s_cloud->base() + request.url.substr(request.url.find('/', 8));
        local.trust.ca_file = s_cloud->ca().string();
        return net::http_send(local);
    }
    config::ResultCache cache() {
        return config::ResultCache(config::get_config_dir(), [this] { return m_now; });
    }
    // The access of a run with the stored profile, read afresh.
    ServiceAccess service(config::ResultCache& store) {
        m_conf = config::load_config();
        return {m_conf.profile, m_http, store};
    }
    std::string bearer(config::ResultCache& store) {
        return create_get_request("/entitlements", service(store)).headers.at(1).second;
    }

    static std::unique_ptr<test::LocalCloud> s_cloud;
    test::ScopedHome m_home;
    test::ScopedEnv m_ca{"SSL_CERT_FILE", s_cloud->ca().string()};
    std::vector<std::string> m_sent;
    double m_now = 1'700'000'000.0;
    records::VorpaneConfig m_conf;
    Client m_http{[this](const net::HttpRequest& r) { return to_cloud(r); }};
};

std::unique_ptr<test::LocalCloud> CloudAccessTest::s_cloud;

TEST_F(CloudAccessTest, ExchangeThenDescriptionWithHeadersInOrderAndTheQueryKept) {
    config::ResultCache store = cache();
    const RequestDescription description = create_get_request("/packages?limit=99", service(store));
    EXPECT_EQ(description.headers, (std::vector<Header>{{"Accept", "application/vnd.api+json"},
                                                        {"Authorization", "Bearer AT-1"}}));
    EXPECT_EQ(to_cloud(to_http_request(description)).status, 200);

    const auto log = s_cloud->requests(2);
    ASSERT_EQ(log.size(), 2U);
    EXPECT_EQ(log[0]["headers"]["Content-Length"], "36");
    EXPECT_FALSE(log[0]["headers"].contains("Expect"));
    std::vector<std::string> names;
    for (const auto& header : log[0]["header_list"]) {
        names.push_back(header[0]);
    }
    const auto type = std::find(names.begin(), names.end(), "Content-Type");
    ASSERT_NE(type, names.end());
    EXPECT_LT(std::find(names.begin(), names.end(), "Authorization"), type);
    EXPECT_EQ(log[1]["path"], "/v1/license/packages?limit=99");
}

TEST_F(CloudAccessTest, OneExchangeServesEveryRequestFor1800Seconds) {
    config::ResultCache store = cache();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(bearer(store), "Bearer AT-1");
        m_now += 359;
    }
    EXPECT_EQ(m_sent.size(), 1U);
    m_now += 5;
    set_token("AT-2");
    EXPECT_EQ(bearer(store), "Bearer AT-2");
    EXPECT_EQ(m_sent.size(), 2U);
}

TEST_F(CloudAccessTest, FailedExchangesGiveOneLineAndNoToken) {
    using Send = std::function<net::HttpResponse(const net::HttpRequest&)>;
    const Send refused = [](const net::HttpRequest& request) {
        net::HttpRequest local = request;
        local.url = "https://localhost:1/oauth/token";
        return net::http_send(local);
    };
    const Send unreadable = [](const net::HttpRequest&) -> net::HttpResponse {
        throw std::system_error(std::make_error_code(std::errc::permission_denied), "vorpane.toml");
    };
    set_token("AT-1", {{"token", {{"status", 201}}}});
    using Kind = TokenOutcome::Kind;
    const std::vector<std::tuple<Send, Kind, long, std::string>> cases = {
        {[this](const net::HttpRequest& r) { return to_cloud(r); }, Kind::rejected, 201, ""},
        {refused, Kind::unreachable, 0, "Failed to connect to localhost port 1"},
        {unreadable, Kind::local_failure, 0, "vorpane.toml: "},
    };
    const records::VorpaneProfile profile{"id", "secret", "cloud"};
    for (const auto& [how, kind, status, said] : cases) {
        Client client{how};
        const TokenOutcome outcome = get_access_token(profile, client);
        EXPECT_EQ(outcome.token, std::nullopt);
        EXPECT_EQ(outcome.kind, kind) << said;
        EXPECT_EQ(outcome.status, status) << said;
        EXPECT_EQ(outcome.detail.rfind(said, 0), 0U) << outcome.detail;
        EXPECT_EQ(outcome.detail.find('\n'), std::string::npos) << outcome.detail;
        EXPECT_EQ(outcome.detail.find("secret"), std::string::npos) << outcome.detail;
    }
}

TEST_F(CloudAccessTest, RejectedCredentialsCacheNullAndFailEveryRequestUntilItExpires) {
    store_profile("id", "wrong", "cloud");
    config::ResultCache store = cache();
    try {
        create_get_request("/entitlements", service(store));
        FAIL() << "no error";
    } catch (const NoAccessToken& error) {
        EXPECT_EQ(error.message(),
                  "No access token created. Did you add token id and token secret?");
        ASSERT_TRUE(error.outcome());
        EXPECT_EQ(error.outcome()->kind, TokenOutcome::Kind::rejected);
        EXPECT_EQ(error.outcome()->status, 401);
    }
    EXPECT_EQ(store.lookup(api::access_token_key({"id", "wrong", "cloud"})), std::nullopt);

    // The stored null keeps later tokens of this profile out of the store until it expires.
    s_cloud->set_account({{"token_id", "id"}, {"token", "wrong"}, {"access_token", "AT-1"}});
    m_now += 60;
    EXPECT_EQ(bearer(store), "Bearer AT-1");
    EXPECT_EQ(bearer(store), "Bearer AT-1");
    EXPECT_EQ(m_sent.size(), 3U);
    m_now += 1800;
    bearer(store);
    bearer(store);
    EXPECT_EQ(m_sent.size(), 4U);
}

TEST_F(CloudAccessTest, MalformedSuccessBodyReachesTheCallerAndStoresNothing) {
    const std::string deep = R"({"access_token": "secret-ish", "x": )" + std::string(100'000, '[') +
                             std::string(100'000, ']') + "}";
    for (const std::string& body :
         {std::string("secret-ish {not json"), std::string(R"({"token_type": "Bearer"})"), deep,
          std::string(R"({"access_token": "secret-ish\r\nX: 1"})")}) {
        set_token("AT-1", {{"token", {{"body", body}}}});
        config::ResultCache store = cache();
        const std::string what = test::what_of<TokenServiceError>(
            [&] { create_get_request("/entitlements", service(store)); });
        EXPECT_NE(what, "<nothing thrown>") << body.substr(0, 80);
        EXPECT_EQ(what.find("secret-ish"), std::string::npos);
        EXPECT_TRUE(store.add_if_absent(api::access_token_key(m_conf.profile), "x", 1));
        m_now += 2;
    }
}

} // namespace
} // namespace vorpane::api

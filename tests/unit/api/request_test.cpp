#include "vorpane/api/endpoints.hpp"
#include "vorpane/api/request.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/cli/exceptions.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/util/crypto.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>

#include "support/temp_home.hpp"

extern char** environ;

namespace vorpane::api {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

int run_and_wait(const std::vector<std::string>& args, const fs::path& out) {
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

// The project's fake cloud on a free loopback port, with a CA made for this run.
class FakeCloud {
  public:
    FakeCloud() {
        const fs::path source = VORPANE_SOURCE_DIR;
        int status = 0;
        const pid_t certs = run_and_wait(
            {"bash", (source / "sandbox/certs.sh").string(), (m_dir.path() / "certs").string()},
            m_dir.path() / "certs.out");
        ::waitpid(certs, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw std::runtime_error("certs.sh failed: " +
                                     test::read_file(m_dir.path() / "certs.out"));
        }
        fs::create_directories(state());
        m_pid = run_and_wait({"python3", (source / "sandbox/fake_cloud.py").string(), "--port", "0",
                              "--state", state().string(), "--cert",
                              (m_dir.path() / "certs/server.pem").string(), "--key",
                              (m_dir.path() / "certs/server.key").string()},
                             m_dir.path() / "server.out");
        while (!fs::exists(state() / "port")) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                throw std::runtime_error("fake cloud ended: " +
                                         test::read_file(m_dir.path() / "server.out"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_port = std::stoi(test::read_file(state() / "port"));
    }
    ~FakeCloud() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    FakeCloud(const FakeCloud&) = delete;
    FakeCloud& operator=(const FakeCloud&) = delete;

    [[nodiscard]] fs::path state() const { return m_dir.path() / "state"; }
    [[nodiscard]] fs::path ca() const { return m_dir.path() / "certs/ca.pem"; }
    [[nodiscard]] std::string base() const { return "https://localhost:" + std::to_string(m_port); }
    [[nodiscard]] int port() const { return m_port; }

    void set_account(const json& account) const {
        test::write_file(state() / "account.tmp", account.dump());
        fs::rename(state() / "account.tmp", state() / "account.json");
    }
    // The logged requests, once at least `expected` are there (the server logs each one just
    // after answering it).
    [[nodiscard]] std::vector<json> requests(size_t expected = 0) const {
        for (;;) {
            std::vector<json> records;
            const std::string text = test::read_file(state() / "requests.log");
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);) {
                records.push_back(json::parse(line));
            }
            if (records.size() >= expected && (text.empty() || text.back() == '\n')) {
                return records;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

  private:
    test::TempDir m_dir;
    pid_t m_pid = 0;
    int m_port = 0;
};

// Sets (or, with nullopt, unsets) one environment variable for a scope.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        if (value) {
            ::setenv(m_name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
    }
    ~ScopedEnv() {
        if (m_old) {
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    std::optional<std::string> m_old;
};

TEST(Endpoints, UrlsPerCloudEnvironment) {
    const std::string domain(SERVICE_DOMAIN);
    EXPECT_EQ(_get_cloud_api_url("cloud"), "https://core.cloud." + domain + "/v1");
    EXPECT_EQ(_get_token_api_url("cloud"), "https://token.cloud." + domain);
    EXPECT_EQ(_get_entitlement_api_url("cloud"), "https://core.cloud." + domain + "/v1/license");
    EXPECT_EQ(_get_token_api_url("dev.cloud"), "https://token.dev.cloud." + domain);
    EXPECT_EQ(_get_entitlement_api_url("dev.cloud"),
              "https://core.dev.cloud." + domain + "/v1/license");
}

TEST(TokenRequest, CarriesBasicCredentialsAndTheExactBody) {
    config::VorpaneProfile profile{"my-id", "s3cr:et", "cloud"};
    const util::HttpRequest request = token_request(profile, "https://token.example");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://token.example/oauth/token");
    EXPECT_EQ(request.body, "{\"grant_type\": \"client_credentials\"}");
    EXPECT_EQ(request.body.size(), 36U);
    ASSERT_EQ(request.headers.size(), 2U);
    EXPECT_EQ(request.headers[0].first, "Authorization");
    EXPECT_EQ(request.headers[0].second, "Basic " + util::base64_encode("my-id:s3cr:et"));
    EXPECT_EQ(request.headers[1],
              (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
    EXPECT_FALSE(request.timeout_seconds.has_value());
    EXPECT_FALSE(request.follow_redirects);
}

TEST(TokenRequest, EmptySecretStillSendsTheColon) {
    const util::HttpRequest request = token_request({"id", "", "cloud"}, "https://t");
    EXPECT_EQ(request.headers[0].second, "Basic aWQ6");
}

TEST(ToHttpRequest, AppliesTimeOutAndNeverFollowsRedirects) {
    RequestKWARGSDict description{
        {{"Accept", "a"}, {"Authorization", "Bearer b"}}, "https://x/y", true, 5};
    const util::HttpRequest request = to_http_request(description);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.url, "https://x/y");
    EXPECT_EQ(request.headers, description.headers);
    EXPECT_TRUE(request.verify);
    EXPECT_EQ(request.timeout_seconds, 5);
    EXPECT_FALSE(request.follow_redirects);
}

// The token exchange and request descriptions against the fake cloud. Requests keep their
// service URL in `m_sent`; the transfer itself goes to the fake cloud's port.
class CloudAccessTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_cloud = std::make_unique<FakeCloud>(); }
    static void TearDownTestSuite() { s_cloud.reset(); }

    void SetUp() override {
        test::write_file(s_cloud->state() / "requests.log", "");
        s_cloud->set_account({{"token_id", "id"}, {"token", "secret"}, {"access_token", "AT-1"}});
        store_profile("id", "secret", "cloud");
    }

    static void store_profile(const std::string& id,
                              const std::string& secret,
                              const std::string& environment) {
        config::VorpaneConfig conf;
        conf.profile = {id, secret, environment};
        config::write_config_parse_to_file(conf);
    }

    HttpSend send() {
        return [this](const util::HttpRequest& request) {
            m_sent.push_back(request.url);
            util::HttpRequest local = request;
            const auto path = request.url.find('/', request.url.find("://") + 3);
            local.url = s_cloud->base() + request.url.substr(path);
            return util::http_send(local);
        };
    }

    config::ResultCache cache() {
        return config::ResultCache(config::_get_config_dir(), [this] { return m_now; });
    }

    size_t token_exchanges() const {
        size_t count = 0;
        for (const auto& record : s_cloud->requests()) {
            count += record["route"] == "token" ? 1 : 0;
        }
        return count;
    }

    static std::unique_ptr<FakeCloud> s_cloud;
    test::ScopedHome m_home;
    ScopedEnv m_ca{"SSL_CERT_FILE", s_cloud->ca().string()};
    std::vector<std::string> m_sent;
    double m_now = 1'700'000'000.0;
};

std::unique_ptr<FakeCloud> CloudAccessTest::s_cloud;

TEST_F(CloudAccessTest, ExchangePostsCredentialsAndReturnsTheToken) {
    testing::internal::CaptureStdout();
    const auto token = _get_access_token(send());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(token, "AT-1");
    EXPECT_EQ(m_sent, std::vector<std::string>{"https://token.cloud." +
                                               std::string(SERVICE_DOMAIN) + "/oauth/token"});
    const auto log = s_cloud->requests(1);
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0]["method"], "POST");
    EXPECT_EQ(log[0]["body"], "{\"grant_type\": \"client_credentials\"}");
    EXPECT_EQ(log[0]["headers"]["Content-Length"], "36");
    std::vector<std::string> names;
    for (const auto& header : log[0]["header_list"]) {
        names.push_back(header[0]);
    }
    const auto auth = std::find(names.begin(), names.end(), "Authorization");
    const auto type = std::find(names.begin(), names.end(), "Content-Type");
    ASSERT_NE(type, names.end());
    EXPECT_LT(auth, type);
}

TEST_F(CloudAccessTest, DevCloudProfileUsesDevCloudHosts) {
    store_profile("id", "secret", "dev.cloud");
    config::ResultCache store = cache();
    const RequestKWARGSDict description = create_get_request("/entitlements", store, send());
    const std::string domain(SERVICE_DOMAIN);
    EXPECT_EQ(m_sent,
              std::vector<std::string>{"https://token.dev.cloud." + domain + "/oauth/token"});
    EXPECT_EQ(description.url, "https://core.dev.cloud." + domain + "/v1/license/entitlements");
}

TEST_F(CloudAccessTest, EmptySecretIsSentAsIdAndColon) {
    store_profile("id", "", "cloud");
    s_cloud->set_account({{"token_id", "id"}, {"token", ""}, {"access_token", "AT-empty"}});
    testing::internal::CaptureStdout();
    EXPECT_EQ(_get_access_token(send()), "AT-empty");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(s_cloud->requests(1)[0]["headers"]["Authorization"], "Basic aWQ6");
}

TEST_F(CloudAccessTest, DescriptionCarriesHeadersInOrderAndKeepsTheQuery) {
    config::ResultCache store = cache();
    const RequestKWARGSDict description = create_get_request("/packages?limit=99", store, send());
    ASSERT_EQ(description.headers.size(), 2U);
    EXPECT_EQ(description.headers[0],
              (std::pair<std::string, std::string>{"Accept", "application/vnd.api+json"}));
    EXPECT_EQ(description.headers[1],
              (std::pair<std::string, std::string>{"Authorization", "Bearer AT-1"}));
    EXPECT_EQ(description.url, "https://core.cloud." + std::string(SERVICE_DOMAIN) +
                                   "/v1/license/packages?limit=99");
    EXPECT_TRUE(description.verify);
    EXPECT_EQ(description.timeout, 5);

    // The description works against the entitlement service as it stands.
    const util::HttpResponse response = send()(to_http_request(description));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(s_cloud->requests(2).back()["path"], "/v1/license/packages?limit=99");
}

TEST_F(CloudAccessTest, OneExchangeServesEveryRequestFor1800Seconds) {
    config::ResultCache store = cache();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(create_get_request("/entitlements", store, send()).headers[1].second,
                  "Bearer AT-1");
        m_now += 359;
    }
    EXPECT_EQ(m_sent.size(), 1U);
    m_now += 5;
    s_cloud->set_account({{"token_id", "id"}, {"token", "secret"}, {"access_token", "AT-2"}});
    EXPECT_EQ(create_get_request("/entitlements", store, send()).headers[1].second, "Bearer AT-2");
    EXPECT_EQ(m_sent.size(), 2U);
    EXPECT_EQ(token_exchanges(), 2U);
}

TEST_F(CloudAccessTest, Status201IsAFailure) {
    s_cloud->set_account(
        {{"token_id", "id"}, {"token", "secret"}, {"faults", {{"token", {{"status", 201}}}}}});
    testing::internal::CaptureStdout();
    EXPECT_EQ(_get_access_token(send()), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Authentication failed. Status code: 201\n");
}

TEST_F(CloudAccessTest, RejectedCredentialsCacheNullAndFailEveryRequest) {
    store_profile("id", "wrong", "cloud");
    config::ResultCache store = cache();
    testing::internal::CaptureStdout();
    try {
        create_get_request("/entitlements", store, send());
        FAIL() << "no error";
    } catch (const VorpaneException& error) {
        EXPECT_EQ(error.message(),
                  "No access token created. Did you add token id and token secret?");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Authentication failed. Status code: 401\n");
    EXPECT_TRUE(store.lookup(config::cache_key(config::ACCESS_TOKEN_IDENTITY)) == std::nullopt);

    // The stored null keeps later tokens out of the store until it expires.
    store_profile("id", "secret", "cloud");
    m_now += 60;
    EXPECT_EQ(create_get_request("/entitlements", store, send()).headers[1].second, "Bearer AT-1");
    EXPECT_EQ(create_get_request("/entitlements", store, send()).headers[1].second, "Bearer AT-1");
    EXPECT_EQ(m_sent.size(), 3U);
    m_now += 1800;
    create_get_request("/entitlements", store, send());
    create_get_request("/entitlements", store, send());
    EXPECT_EQ(m_sent.size(), 4U);
}

TEST_F(CloudAccessTest, ConnectionRefusedIsPrintedAsHttpError) {
    const HttpSend refused = [this](const util::HttpRequest& request) {
        m_sent.push_back(request.url);
        util::HttpRequest local = request;
        local.url = "https://localhost:1/oauth/token";
        return util::http_send(local);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(_get_access_token(refused), std::nullopt);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("HTTP error occurred: Failed to connect to localhost port 1", 0), 0U)
        << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
    EXPECT_EQ(printed.find("secret"), std::string::npos);
}

TEST_F(CloudAccessTest, SystemErrorIsPrintedAsConfigurationError) {
    const HttpSend failing = [](const util::HttpRequest&) -> util::HttpResponse {
        throw std::system_error(std::make_error_code(std::errc::permission_denied), "vorpane.toml");
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(_get_access_token(failing), std::nullopt);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Error reading configuration: vorpane.toml: ", 0), 0U) << printed;
}

TEST_F(CloudAccessTest, MalformedSuccessBodyReachesTheCallerAndStoresNothing) {
    s_cloud->set_account({{"token_id", "id"},
                          {"token", "secret"},
                          {"faults", {{"token", {{"body", "secret-ish {not json"}}}}}});
    config::ResultCache store = cache();
    testing::internal::CaptureStdout();
    try {
        create_get_request("/entitlements", store, send());
        FAIL() << "no error";
    } catch (const TokenServiceError& error) {
        EXPECT_EQ(std::string(error.what()).find("secret-ish"), std::string::npos);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(store.add_if_absent(config::cache_key(config::ACCESS_TOKEN_IDENTITY), "x", 1));
}

TEST_F(CloudAccessTest, AnswerWithoutAccessTokenReachesTheCaller) {
    s_cloud->set_account({{"token_id", "id"},
                          {"token", "secret"},
                          {"faults", {{"token", {{"body", R"({"token_type": "Bearer"})"}}}}}});
    EXPECT_THROW(_get_access_token(send()), TokenServiceError);
}

TEST_F(CloudAccessTest, MissingProfileReachesTheCaller) {
    test::write_file(config::get_config_file(), "");
    config::ResultCache store = cache();
    EXPECT_THROW(create_get_request("/entitlements", store, send()), ValidationError);
    EXPECT_TRUE(m_sent.empty());
}

TEST_F(CloudAccessTest, DefaultStoreLivesInTheConfigurationDirectory) {
    config::open_result_cache().add_if_absent(config::cache_key(config::ACCESS_TOKEN_IDENTITY),
                                              "AT-stored", 1800);
    EXPECT_TRUE(fs::exists(m_home.config_dir() / "cache.sqlite3"));
    const RequestKWARGSDict description = create_get_request("/pip");
    EXPECT_EQ(description.headers[1].second, "Bearer AT-stored");
    EXPECT_EQ(description.url,
              "https://core.cloud." + std::string(SERVICE_DOMAIN) + "/v1/license/pip");
}

} // namespace
} // namespace vorpane::api

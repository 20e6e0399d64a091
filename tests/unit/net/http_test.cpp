#include "vorpane/net/http.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>

#include "support/local_cloud.hpp"
#include "support/scoped_env.hpp"

namespace vorpane::net {
namespace {

using nlohmann::json;
using test::ScopedEnv;

class HttpSendTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_cloud = std::make_unique<test::LocalCloud>(); }
    static void TearDownTestSuite() { s_cloud.reset(); }
    void SetUp() override {
        s_cloud->set_account({{"token_id", "id"}, {"token", "secret"}, {"access_token", "AT"}});
        s_cloud->clear_log();
    }

    static HttpRequest get(const std::string& path) {
        HttpRequest request;
        request.url = s_cloud->base() + path;
        request.headers = {{"Accept", "application/vnd.api+json"}, {"Authorization", "Bearer AT"}};
        request.timeout_seconds = 5;
        request.trust.ca_file = s_cloud->ca().string();
        return request;
    }
    static HttpRequest post_token() {
        HttpRequest request;
        request.method = "POST";
        request.url = s_cloud->base() + "/oauth/token";
        request.headers = {{"Authorization", "Basic aWQ6c2VjcmV0"},
                           {"Content-Type", "application/json"}};
        request.body = R"({"grant_type": "client_credentials"})";
        request.trust.ca_file = s_cloud->ca().string();
        return request;
    }

    static std::unique_ptr<test::LocalCloud> s_cloud;
};

std::unique_ptr<test::LocalCloud> HttpSendTest::s_cloud;

TEST_F(HttpSendTest, SendsHeadersInOrderAndReadsTheAnswer) {
    CurlHttpClient client("vorpane/0.9.2");
    const HttpResponse response = client.send(get("/v1/license/packages?limit=99"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.reason, "OK");
    EXPECT_EQ(json::parse(response.body), json::array());
    EXPECT_EQ(response.header("CONTENT-type"), "application/json");
    EXPECT_EQ(response.header("x-missing"), std::nullopt);
    EXPECT_EQ(response.url, s_cloud->base() + "/v1/license/packages?limit=99");
    const auto log = s_cloud->requests(1);
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0]["path"], "/v1/license/packages?limit=99");
    EXPECT_EQ(log[0]["headers"]["User-Agent"], "vorpane/0.9.2");
    std::vector<std::string> names;
    for (const auto& header : log[0]["header_list"]) {
        names.push_back(header[0]);
    }
    const auto accept = std::find(names.begin(), names.end(), "Accept");
    ASSERT_NE(accept, names.end());
    EXPECT_LT(accept, std::find(names.begin(), names.end(), "Authorization"));
    EXPECT_EQ(std::count(names.begin(), names.end(), "Accept"), 1);
}

TEST_F(HttpSendTest, StatusErrorsCarryCodeReasonAndMaskedUrl) {
    EXPECT_NO_THROW(raise_for_status(http_send(get("/v1/license/pip"))));
    // A reason phrase is the server's text: it never reaches a message raw.
    s_cloud->set_account(
        {{"access_token", "AT"},
         {"faults",
          {{"entitlements", {{"status", 500}, {"reason", "Oops\x1b[2J\x1b]0;x\x07!"}}}}}});
    HttpResponse teapot;
    teapot.url = "https://u:secret@h/x";
    teapot.status = 418;
    teapot.reason = std::string(standard_reason(418));
    const std::vector<std::pair<HttpResponse, std::string>> cases = {
        {http_send(get("/nowhere")),
         "404 Client Error: Not Found for url: " + s_cloud->base() + "/nowhere"},
        {http_send(get("/v1/license/entitlements")),
         "500 Server Error: Oops\\x1b[2J\\x1b]0;x\\x07! for url: " + s_cloud->base() +
             "/v1/license/entitlements"},
        {teapot, "418 Client Error: I'm a Teapot for url: https://u:****@h/x"},
    };
    for (const auto& [response, message] : cases) {
        try {
            raise_for_status(response);
            ADD_FAILURE() << response.status << " not raised";
        } catch (const HttpStatusError& error) {
            EXPECT_EQ(error.status(), response.status);
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
    for (long status : {200L, 303L, 399L, 600L}) {
        teapot.status = status;
        EXPECT_NO_THROW(raise_for_status(teapot)) << status;
    }
}

TEST_F(HttpSendTest, IncompleteAnswersAreOneLineTransportErrors) {
    struct Case {
        json faults;
        HttpRequest request;
        std::string expected;
    };
    HttpRequest slow = get("/v1/license/entitlements");
    slow.timeout_seconds = 1;
    HttpRequest followed = get("/v1/license/pip");
    followed.follow_redirects = true;
    const std::string too_large = "larger than " + std::to_string(MAX_BODY_BYTES >> 20) + " MiB";
    const std::vector<Case> cases = {
        {{{"entitlements", {{"truncate", true}}}}, get("/v1/license/entitlements"), "("},
        {{{"token", {{"drop", true}}}}, post_token(), "("},
        {{{"entitlements", {{"delay", 3}}}}, slow, "timed out"},
        // A stall limit alone would wait for ever on an answer that never stops trickling.
        {{{"entitlements", {{"trickle", 0.2}}}}, slow, "timed out"},
        {{{"token", {{"fill", MAX_BODY_BYTES + 1}}}}, post_token(), too_large},
        {{{"entitlements", {{"fill", MAX_BODY_BYTES + 1}, {"no_content_length", true}}}},
         get("/v1/license/entitlements"),
         too_large},
        // An encrypted request is not carried onto plain http by a redirect.
        {json::object(), followed, "Refusing to follow a redirect away from https"},
    };
    for (const auto& c : cases) {
        s_cloud->set_account({{"access_token", "AT"},
                              {"entitlements", json::array({std::string(4000, 'x')})},
                              {"pip_location", "http://localhost:1/v1/license/packages"},
                              {"faults", c.faults}});
        try {
            http_send(c.request);
            ADD_FAILURE() << "accepted with " << c.faults.dump();
        } catch (const HttpStatusError&) {
            ADD_FAILURE() << "reported as a status with " << c.faults.dump();
        } catch (const HttpError& error) {
            const std::string text = error.what();
            EXPECT_NE(text.find(c.expected), std::string::npos) << text;
            EXPECT_NE(text.find(c.request.follow_redirects ? "(http://localhost:1/"
                                                           : "(" + c.request.url + ")"),
                      std::string::npos)
                << text;
            EXPECT_EQ(text.find('\n'), std::string::npos) << text;
            EXPECT_EQ(error.timed_out_after().has_value(), c.expected == "timed out") << text;
        }
    }
}

TEST_F(HttpSendTest, RedirectsStayOnHttpsAndAnswersUpToTheCapArriveWhole) {
    s_cloud->set_account({{"access_token", "AT"},
                          {"pip_location", s_cloud->base() + "/v1/license/packages"},
                          {"faults", {{"packages", {{"fill", MAX_BODY_BYTES}}}}}});
    HttpRequest followed = get("/v1/license/pip");
    followed.follow_redirects = true;
    const HttpResponse response = http_send(followed);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.url, s_cloud->base() + "/v1/license/packages");
    EXPECT_EQ(response.body.size(), MAX_BODY_BYTES);
}

TEST_F(HttpSendTest, OnlyTheNamedCaBundleIsTrustedInVariableOrder) {
    const std::string not_a_ca = (s_cloud->state() / "account.json").string();
    HttpRequest untrusted = get("/v1/license/entitlements");
    untrusted.trust.ca_file = not_a_ca;
    try {
        http_send(untrusted);
        FAIL() << "certificate accepted";
    } catch (const HttpError& error) {
        EXPECT_NE(std::string(error.what()).find("certificate"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(s_cloud->requests().empty());
    using Vars = std::map<std::string, std::string>;
    const std::vector<std::pair<Vars, std::string>> cases = {
        {{{"SSL_CERT_FILE", "a"}, {"REQUESTS_CA_BUNDLE", "b"}, {"CURL_CA_BUNDLE", "c"}}, "a"},
        {{{"REQUESTS_CA_BUNDLE", "b"}, {"CURL_CA_BUNDLE", "c"}}, "b"},
        {{{"SSL_CERT_FILE", ""}, {"CURL_CA_BUNDLE", "c"}, {"SSL_CERT_DIR", "d"}}, "c"},
    };
    for (const auto& [vars, bundle] : cases) {
        const TlsTrust trust = TlsTrust::from(test::env_lookup(vars));
        EXPECT_EQ(trust.ca_file, bundle);
        EXPECT_EQ(trust.ca_dir, vars.count("SSL_CERT_DIR") != 0 ? "d" : "");
    }
}

// A client whose waits are recorded instead of slept, with jitter fixed at half the range.
struct RetryingClient {
    explicit RetryingClient(unsigned retries) {
        RetryPolicy policy;
        policy.retries = [retries] { return retries; };
        policy.sleep = [this](std::chrono::milliseconds wait) { waits.push_back(wait.count()); };
        policy.random = [] { return 0.5; };
        policy.on_attempt = [this](const HttpAttempt& attempt) { attempts.push_back(attempt); };
        client = std::make_unique<CurlHttpClient>("vorpane/0.9.2", policy);
    }
    std::unique_ptr<CurlHttpClient> client;
    std::vector<long> waits;
    std::vector<HttpAttempt> attempts;
};

TEST_F(HttpSendTest, TransientFailuresAreRetriedOnceAndOthersNever) {
    struct Case {
        std::string route;
        json fault;
        size_t requests;
        long status;
    };
    std::vector<Case> cases = {
        // The token exchange is retried like the others.
        {"token", {{"drop", true}}, 2, 200},
        {"token", {{"truncate", true}}, 2, 200},
        {"entitlements", {{"drop", true}}, 2, 200},
        {"entitlements", {{"truncate", true}}, 2, 200},
    };
    for (long status : {408, 429, 500, 502, 503, 504}) {
        cases.push_back({"entitlements", {{"status", status}}, 2, 200});
    }
    for (long status : {401, 404, 501}) { // asked once
        cases.push_back({"entitlements", {{"status", status}}, 1, status});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.route + " " + c.fault.dump());
        auto fault = c.fault;
        fault["times"] = 1;
        s_cloud->set_account({{"token_id", "id"},
                              {"token", "secret"},
                              {"access_token", "AT"},
                              {"faults", {{c.route, fault}}}});
        // A dropped answer is logged late: requests are told apart by when they began.
        const double start =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        s_cloud->clear_log();
        RetryingClient retrying(3);
        const auto request = c.route == "token" ? post_token() : get("/v1/license/entitlements");
        EXPECT_EQ(retrying.client->send(request).status, c.status);
        const auto log = s_cloud->requests(c.requests);
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [&](const json& r) { return r["t_start"].get<double>() >= start; }),
                  static_cast<long>(c.requests));
        EXPECT_EQ(retrying.waits, c.requests == 2 ? std::vector<long>{250} : std::vector<long>{});
        ASSERT_EQ(retrying.attempts.size(), c.requests);
        EXPECT_EQ(retrying.attempts.front().will_retry, c.requests == 2);
        EXPECT_EQ(retrying.attempts.back().status, c.status);
    }
}

TEST_F(HttpSendTest, OneBudgetCoversEveryAttemptAndTheTimeoutIsReportedAsOne) {
    s_cloud->set_account(
        {{"access_token", "AT"}, {"faults", {{"entitlements", {{"trickle", 0.2}}}}}});
    RetryingClient retrying(3);
    HttpRequest slow = get("/v1/license/entitlements");
    slow.timeout_seconds = 1;
    // After a whole second's attempt, what is left of two seconds is too little for another.
    slow.budget_seconds = 2;
    try {
        retrying.client->send(slow);
        ADD_FAILURE() << "answered";
    } catch (const HttpError& error) {
        EXPECT_TRUE(error.timed_out_after().has_value()) << error.what();
        EXPECT_NE(std::string(error.what()).find("(after 1 attempt)"), std::string::npos);
    }
}

TEST_F(HttpSendTest, RetriesBackOffOrWaitAsToldAndCountTheirAttempts) {
    s_cloud->set_account(
        {{"access_token", "AT"}, {"faults", {{"entitlements", {{"status", 503}}}}}});
    RetryingClient three(3);
    const HttpResponse answer = three.client->send(get("/v1/license/entitlements"));
    EXPECT_EQ(three.waits, (std::vector<long>{250, 500, 1000}));
    EXPECT_EQ(test::what_of<HttpStatusError>([&] { raise_for_status(answer); }),
              "503 Server Error: Service Unavailable for url: " + s_cloud->base() +
                  "/v1/license/entitlements (after 4 attempts)");
    s_cloud->set_account(
        {{"access_token", "AT"},
         {"faults", {{"entitlements", {{"status", 429}, {"headers", {{"Retry-After", "2"}}}}}}}});
    RetryingClient one(1);
    EXPECT_EQ(one.client->send(get("/v1/license/entitlements")).status, 429);
    EXPECT_EQ(one.waits, (std::vector<long>{2000}));
    s_cloud->set_account(
        {{"access_token", "AT"}, {"faults", {{"entitlements", {{"drop", true}}}}}});
    s_cloud->clear_log();
    RetryingClient none(0);
    const std::string dropped =
        test::what_of<HttpError>([&] { (void)none.client->send(get("/v1/license/entitlements")); });
    EXPECT_NE(dropped.find(") (after 1 attempt)"), std::string::npos) << dropped;
    EXPECT_EQ(s_cloud->requests(1).size(), 1U);
    EXPECT_TRUE(none.waits.empty());

    // Full jitter up to 0.5 s doubling to 8 s; Retry-After up to 30 s, as seconds or a date.
    RetryPolicy policy;
    policy.random = [] { return 1.0; };
    std::vector<long> ceilings;
    for (unsigned retry = 1; retry <= 6; ++retry) {
        ceilings.push_back(policy.delay(retry, std::nullopt).count());
    }
    EXPECT_EQ(ceilings, (std::vector<long>{500, 1000, 2000, 4000, 8000, 8000}));
    EXPECT_EQ(policy.delay(1, "120").count(), 30000);
    EXPECT_EQ(policy.delay(1, "soon").count(), 500);
    const auto now = std::chrono::system_clock::from_time_t(784111777); // 1994-11-06 08:49:37
    EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:49:40 GMT", now), std::chrono::seconds(3));
    EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:40:00 GMT", now), std::chrono::seconds(0));
    EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994", now), std::nullopt);
    for (const auto& [text, count] :
         std::vector<std::pair<std::string, std::optional<unsigned>>>{{"", 3},
                                                                      {"0", 0},
                                                                      {"7", 7},
                                                                      {"100", 100},
                                                                      {"101", {}},
                                                                      {"-1", {}},
                                                                      {" 2", {}},
                                                                      {"two", {}}}) {
        EXPECT_EQ(parse_retry_count(text), count) << text;
    }
}

} // namespace
} // namespace vorpane::net

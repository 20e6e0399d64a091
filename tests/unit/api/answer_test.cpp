// Service answers as they enter the tool: JSON of bounded depth.
#include "vorpane/api/answer.hpp"
#include "vorpane/api/request.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/config/dirs.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::api {
namespace {

std::string nested(int depth, const std::string& open = "[", const std::string& close = "]") {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += open;
    }
    for (int i = 0; i < depth; ++i) {
        text += close;
    }
    return text;
}

TEST(ServiceAnswers, NestingIsCountedOutsideStringsAndBoundedAt64) {
    const std::vector<std::pair<std::string, int>> depths = {
        {"\"[[[{{{\"", 0},
        {R"(["\"[[", {"a": [1, {"b": "]]]"}]}])", 4},
        {nested(64), 64},
        {nested(32, "{\"k\":", "}"), 32},
        {std::string(100'000, '['), 65},
    };
    for (const auto& [body, depth] : depths) {
        EXPECT_EQ(json_depth(body), depth) << body.substr(0, 80);
    }
    EXPECT_EQ(parse_service_json(nested(64), "The entitlement service").dump().size(), 128U);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {nested(65), "The entitlement service sent an answer nested deeper than 64 levels"},
        {nested(100'000), "The entitlement service sent an answer nested deeper than 64 levels"},
        {"[secret-token", "The entitlement service sent an answer that is not JSON"},
        {"", "The entitlement service sent an answer that is not JSON"},
    };
    for (const auto& [body, message] : refused) {
        EXPECT_EQ(test::what_of<ServiceAnswerError>(
                      [&] { parse_service_json(body, "The entitlement service"); }),
                  message);
    }
}

TEST(ServiceAnswers, MoreThanAMillionValuesAreRefusedBeforeATreeIsBuilt) {
    const auto objects = [](std::size_t n) {
        std::string text = "[";
        for (std::size_t i = 0; i < n; ++i) {
            text += i == 0 ? "{}" : ",{}";
        }
        return text + "]";
    };
    const std::vector<std::pair<std::string, std::optional<std::size_t>>> counts = {
        {R"({"a": [1, "x", null, true, {"b": 2.5}]})", 8},
        {objects(MAX_JSON_VALUES - 1), MAX_JSON_VALUES},
        {objects(2 * MAX_JSON_VALUES), MAX_JSON_VALUES + 1},
        {"[1, 2", std::nullopt},
    };
    for (const auto& [body, count] : counts) {
        EXPECT_EQ(json_value_count(body), count) << body.substr(0, 40);
    }
    EXPECT_EQ(parse_service_json(objects(MAX_JSON_VALUES - 1), "S").size(), MAX_JSON_VALUES - 1);
    EXPECT_EQ(test::what_of<ServiceAnswerError>(
                  [&] { parse_service_json(objects(MAX_JSON_VALUES), "The entitlement service"); }),
              "The entitlement service sent an answer of more than 1000000 values");
}

// Answers the token exchange with a token (unless `slow_tokens`) and other requests as told.
struct ScriptedClient : net::HttpClient {
    long status = 0; // 0: out of time
    bool slow_tokens = false;
    net::HttpResponse send(const net::HttpRequest& request) override {
        if (status == 0 || (slow_tokens && request.method == "POST")) {
            throw net::HttpError("Operation timed out (https://x)", true, 120);
        }
        const bool token = request.method == "POST";
        return {token ? 200 : status, "", {}, token ? R"({"access_token": "A"})" : "[]", "u", 1};
    }
};

TEST(ServiceAnswers, TimeoutsNameTheServiceAndOnly2xxIsASuccess) {
    test::ScopedHome home;
    config::ResultCache cache(config::get_config_dir(), [] { return 1'700'000'000.0; });
    const records::VorpaneProfile profile{"id", "secret", "cloud"};
    ScriptedClient http;
    const ServiceAccess service{profile, http, cache};
    for (const long status : {302L, 999L, 100L}) {
        http.status = status;
        EXPECT_EQ(test::what_of<core::VorpaneException>([&] { get_success("/packages", service); }),
                  "The entitlement service answered with the unexpected status " +
                      std::to_string(status));
    }
    http.status = 204;
    EXPECT_EQ(get_success("/entitlements", service).status, 204);
    http.status = 0;
    EXPECT_EQ(test::what_of<ServiceTimeout>([&] { (void)get("/entitlements", service); }),
              "The entitlement service did not answer within 120 s");
    // A token service out of time is no reason to doubt the credentials.
    http.slow_tokens = true;
    EXPECT_EQ(test::what_of<ServiceTimeout>([&] { (void)get_access_token(profile, http); }),
              "The token service did not answer within 120 s");
}

} // namespace
} // namespace vorpane::api

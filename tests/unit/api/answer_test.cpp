// Service answers as they enter the tool: JSON of bounded depth.
#include "vorpane/api/answer.hpp"

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

} // namespace
} // namespace vorpane::api

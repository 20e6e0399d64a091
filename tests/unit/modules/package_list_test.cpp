// The package list read element by element into the example names.
#include "vorpane/api/answer.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/util/redact.hpp"

#include <gtest/gtest.h>

#include "support/temp_home.hpp"

namespace vorpane::modules {
namespace {

TEST(PackageList, KeepsExampleNamesAndFindsTheFirstMalformedElement) {
    struct Case {
        std::string body;
        std::vector<std::string> examples;
        std::optional<std::size_t> malformed; // counted among the elements not dropped
        std::vector<std::string> dropped;
    };
    const std::vector<Case> cases = {
        {R"([{"key": "a-examples", "x": [{"key": 1}]}, {"key": "b"}, {"key": "-c-examples"},
            {"v": {"key": "d-examples"}, "key": "d-examples"}])",
         {"a-examples", "d-examples"},
         std::nullopt,
         {"-c-examples"}},
        // The last of repeated members counts; nothing is kept after a malformed element.
        {R"([{"key": 5, "key": "a-examples"}, {"key": "\u001b-x"}, {"key": "b", "key": {}},
            {"key": "c-examples"}, {"key": "-d"}])",
         {"a-examples"},
         1,
         {"\u001b-x", "-d"}},
        {R"([{"key": "a"}, 5])", {}, 1, {}},
        {R"([[{"key": "a-examples"}], {}])", {}, 0, {}},
        {"[]", {}, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        Warnings warnings;
        const PackageList list = parse_package_list(c.body, warnings);
        EXPECT_EQ(list.examples, c.examples) << c.body;
        EXPECT_EQ(list.malformed_element, c.malformed) << c.body;
        ASSERT_EQ(warnings.size(), c.dropped.size()) << c.body;
        for (std::size_t i = 0; i < warnings.size(); ++i) {
            EXPECT_EQ(warnings[i], "Warning: ignored the package \"" +
                                       util::escape_control(c.dropped[i]) +
                                       "\" from the service: not a valid package name");
        }
    }
    for (const char* body : {R"({"key": "a-examples"})", R"("[]")"}) {
        Warnings warnings;
        EXPECT_EQ(test::what_of<std::runtime_error>([&] { parse_package_list(body, warnings); }),
                  "The package list from the service is not a JSON list");
    }
    Warnings warnings;
    EXPECT_EQ(test::what_of<api::ServiceAnswerError>(
                  [&] { parse_package_list(R"([{"key": "-x"}, 1)", warnings); }),
              "The entitlement service sent an answer that is not JSON");
    EXPECT_TRUE(warnings.empty());
}

} // namespace
} // namespace vorpane::modules

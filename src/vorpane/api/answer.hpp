#pragma once

#include "vorpane/core/errors.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpane::api {

// Service answers nest arrays and objects at most this deep; deeper ones are refused before
// they are parsed, so nothing downstream (the result cache's serialiser included) ever walks
// an unbounded tree.
inline constexpr int MAX_JSON_DEPTH = 64;
// Service answers hold at most this many JSON values (every scalar, array and object counts);
// larger ones are refused before a tree is built, which bounds the memory an answer can take.
inline constexpr std::size_t MAX_JSON_VALUES = 1'000'000;

// A service answer the tool cannot use. what() is one line naming the service; it never
// repeats the answer's content, which may hold a token.
class ServiceAnswerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The deepest nesting of arrays and objects in the JSON text `body` (0 for a scalar), counted
// without recursion and without parsing; stops counting once past `limit` and returns limit + 1.
int json_depth(std::string_view body, int limit = MAX_JSON_DEPTH);

// The number of JSON values in `body`, counted by a SAX pass that builds nothing; stops once past
// `limit` and returns limit + 1. Nothing when `body` is not JSON.
std::optional<std::size_t> json_value_count(std::string_view body,
                                            std::size_t limit = MAX_JSON_VALUES);

// The JSON document in `body`, an answer of `service` ("The entitlement service"). Throws
// ServiceAnswerError "<service> sent an answer nested deeper than 64 levels", "<service> sent
// an answer of more than 1000000 values" or "<service> sent an answer that is not JSON".
nlohmann::json parse_service_json(std::string_view body, std::string_view service);

// parse_service_json() without a tree: `handler` sees the document's events as they are read
// and must return true from each one. It may see the start of a document that is refused
// afterwards, so it keeps what it gathers until this returns. Throws like parse_service_json.
void parse_service_json(std::string_view body,
                        std::string_view service,
                        nlohmann::json_sax<nlohmann::json>& handler);

// A service that did not answer in time: "<service> did not answer within N s".
class ServiceTimeout : public core::VorpaneException {
  public:
    ServiceTimeout(std::string_view service, long seconds)
        : core::VorpaneException(std::string(service) + " did not answer within " +
                                 std::to_string(seconds) + " s") {}
};

} // namespace vorpane::api

#pragma once

#include <nlohmann/json_fwd.hpp>

#include <stdexcept>
#include <string_view>

namespace vorpane::api {

// Service answers nest arrays and objects at most this deep; deeper ones are refused before
// they are parsed, so nothing downstream (the result cache's serialiser included) ever walks
// an unbounded tree.
inline constexpr int MAX_JSON_DEPTH = 64;

// A service answer the tool cannot use. what() is one line naming the service; it never
// repeats the answer's content, which may hold a token.
class ServiceAnswerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The deepest nesting of arrays and objects in the JSON text `body` (0 for a scalar), counted
// without recursion and without parsing; stops counting once past `limit` and returns limit + 1.
int json_depth(std::string_view body, int limit = MAX_JSON_DEPTH);

// The JSON document in `body`, an answer of `service` ("The entitlement service"). Throws
// ServiceAnswerError "<service> sent an answer nested deeper than 64 levels" or "<service>
// sent an answer that is not JSON".
nlohmann::json parse_service_json(std::string_view body, std::string_view service);

} // namespace vorpane::api

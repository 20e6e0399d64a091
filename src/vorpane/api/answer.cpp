#include "vorpane/api/answer.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace vorpane::api {

int json_depth(std::string_view body, int limit) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : body) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit) {
                    return limit + 1;
                }
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

nlohmann::json parse_service_json(std::string_view body, std::string_view service) {
    // The count comes first: text the scanner misreads is not JSON and fails the parse anyway.
    if (json_depth(body) > MAX_JSON_DEPTH) {
        throw ServiceAnswerError(std::string(service) + " sent an answer nested deeper than " +
                                 std::to_string(MAX_JSON_DEPTH) + " levels");
    }
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded()) {
        throw ServiceAnswerError(std::string(service) + " sent an answer that is not JSON");
    }
    return doc;
}

} // namespace vorpane::api

#include "vorpane/api/request.hpp"

#include "vorpane/api/endpoints.hpp"
#include "vorpane/cli/exceptions.hpp"

namespace vorpane::api {

RequestKWARGSDict create_get_request(const std::string& path) {
    config::ResultCache cache = config::open_result_cache();
    return create_get_request(path, cache, util::http_send);
}

RequestKWARGSDict
create_get_request(const std::string& path, config::ResultCache& cache, const HttpSend& send) {
    const nlohmann::json token = config::cached_call(
        cache, config::ACCESS_TOKEN_IDENTITY, config::ACCESS_TOKEN_TTL, [&]() -> nlohmann::json {
            std::optional<std::string> fresh = _get_access_token(send);
            return fresh ? nlohmann::json(*fresh) : nlohmann::json(nullptr);
        });
    if (!token.is_string()) {
        throw VorpaneException("No access token created. Did you add token id and token secret?");
    }
    RequestKWARGSDict description;
    description.headers = {
        {"Accept", std::string(ACCEPT)},
        {"Authorization", "Bearer " + token.get<std::string>()},
    };
    description.url = _get_entitlement_api_url() + path;
    description.verify = VERIFY;
    description.timeout = TIMEOUT;
    return description;
}

util::HttpRequest to_http_request(const RequestKWARGSDict& description) {
    util::HttpRequest request;
    request.method = "GET";
    request.url = description.url;
    request.headers = description.headers;
    request.verify = description.verify;
    request.timeout_seconds = description.timeout;
    request.follow_redirects = false;
    return request;
}

} // namespace vorpane::api

#include "vorpane/api/request.hpp"

#include "vorpane/api/answer.hpp"
#include "vorpane/api/endpoints.hpp"
#include "vorpane/core/errors.hpp"

namespace vorpane::api {

NoAccessToken::NoAccessToken(std::string failure)
    : core::VorpaneException("No access token created. Did you add token id and token secret?"),
      m_failure(std::move(failure)) {}

RequestKWARGSDict create_get_request(const std::string& path, const ServiceAccess& service) {
    std::string failure;
    const nlohmann::json token = config::cached_call(
        service.cache, config::ACCESS_TOKEN_IDENTITY, config::ACCESS_TOKEN_TTL,
        [&]() -> nlohmann::json {
            TokenOutcome fresh = _get_access_token(service.profile, service.http);
            failure = fresh.failure;
            return fresh.token ? nlohmann::json(*fresh.token) : nlohmann::json(nullptr);
        });
    if (!token.is_string()) {
        throw NoAccessToken(failure);
    }
    RequestKWARGSDict description;
    description.headers = {
        {"Accept", std::string(ACCEPT)},
        {"Authorization", "Bearer " + token.get<std::string>()},
    };
    description.url = _get_entitlement_api_url(service.profile.cloud_environment) + path;
    description.verify = VERIFY;
    description.timeout = TIMEOUT;
    return description;
}

util::HttpResponse get(const std::string& path, const ServiceAccess& service) {
    const util::HttpRequest request = to_http_request(create_get_request(path, service));
    try {
        return service.http.send(request);
    } catch (const util::HttpError& error) {
        if (const auto waited = error.timed_out_after()) {
            throw ServiceTimeout("The entitlement service", *waited);
        }
        throw;
    }
}

util::HttpResponse get_success(const std::string& path, const ServiceAccess& service) {
    util::HttpResponse response = get(path, service);
    util::raise_for_status(response);
    if (response.status < 200 || response.status > 299) {
        throw core::VorpaneException(
            "The entitlement service answered with the unexpected status " +
            std::to_string(response.status));
    }
    return response;
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

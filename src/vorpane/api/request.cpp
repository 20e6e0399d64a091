#include "vorpane/api/request.hpp"

#include "vorpane/api/answer.hpp"
#include "vorpane/api/endpoints.hpp"
#include "vorpane/core/errors.hpp"

namespace vorpane::api {

NoAccessToken::NoAccessToken(std::optional<TokenOutcome> outcome)
    : core::VorpaneException("No access token created. Did you add token id and token secret?"),
      m_outcome(std::move(outcome)) {}

namespace {

struct AccessToken {
    std::string value;
    // Obtained by this call rather than read from the cache.
    bool fresh = false;
};

AccessToken access_token(const ServiceAccess& service, const std::string& args) {
    std::optional<TokenOutcome> failure;
    AccessToken token;
    const nlohmann::json stored = config::cached_call(
        service.cache, ACCESS_TOKEN_ANSWER,
        [&]() -> nlohmann::json {
            TokenOutcome outcome = get_access_token(service.profile, service.http);
            failure = outcome;
            token.fresh = true;
            return outcome.token ? nlohmann::json(*outcome.token) : nlohmann::json(nullptr);
        },
        args);
    if (!stored.is_string()) {
        throw NoAccessToken(failure);
    }
    token.value = stored.get<std::string>();
    return token;
}

RequestDescription
describe(const std::string& path, const ServiceAccess& service, const std::string& token) {
    RequestDescription description;
    description.headers = {
        {"Accept", std::string(ACCEPT)},
        {"Authorization", "Bearer " + token},
    };
    description.url = get_entitlement_api_url(service.profile.cloud_environment) + path;
    description.verify = VERIFY;
    description.timeout = TIMEOUT;
    return description;
}

} // namespace

RequestDescription create_get_request(const std::string& path, const ServiceAccess& service) {
    return describe(path, service, access_token(service, access_token_args(service.profile)).value);
}

net::HttpResponse get(const std::string& path, const ServiceAccess& service) {
    const std::string args = access_token_args(service.profile);
    const auto send = [&](const AccessToken& token) {
        try {
            return service.http.send(to_http_request(describe(path, service, token.value)));
        } catch (const net::HttpError& error) {
            if (const auto waited = error.timed_out_after()) {
                throw ServiceTimeout("The entitlement service", *waited);
            }
            throw;
        }
    };
    const AccessToken token = access_token(service, args);
    net::HttpResponse response = send(token);
    if (response.status != 401 || token.fresh) {
        return response;
    }
    // The service no longer takes the stored token (revoked before it expired): sign in again,
    // once; a fresh token that is refused too is the answer.
    service.cache.forget(access_token_key(service.profile), token.value);
    return send(access_token(service, args));
}

net::HttpResponse get_success(const std::string& path, const ServiceAccess& service) {
    net::HttpResponse response = get(path, service);
    net::raise_for_status(response);
    if (response.status < 200 || response.status > 299) {
        throw core::VorpaneException(
            "The entitlement service answered with the unexpected status " +
            std::to_string(response.status));
    }
    return response;
}

net::HttpRequest to_http_request(const RequestDescription& description) {
    net::HttpRequest request;
    request.method = "GET";
    request.url = description.url;
    request.headers = description.headers;
    request.verify = description.verify;
    request.timeout_seconds = description.timeout;
    request.follow_redirects = false;
    return request;
}

} // namespace vorpane::api

#pragma once

#include "vorpane/api/endpoints.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/net/http.hpp"

#include <string>
#include <utility>
#include <vector>

namespace vorpane::api {

// An authenticated GET against the entitlement service.
struct RequestDescription {
    // "Accept" = ACCEPT, then "Authorization" = "Bearer <access token>".
    std::vector<std::pair<std::string, std::string>> headers;
    // The entitlement service URL followed directly by the requested path.
    std::string url;
    bool verify = VERIFY;
    long timeout = TIMEOUT;
};

// What a call of the service needs from the run: the stored profile, an HTTP client and the
// result cache.
struct ServiceAccess {
    const records::VorpaneProfile& profile;
    net::HttpClient& http;
    config::ResultCache& cache;
};

// No access token could be had. what() is "No access token created. Did you add token id and
// token secret?"; failure() is the line the token exchange gave, shown before the error.
class NoAccessToken : public core::VorpaneException {
  public:
    explicit NoAccessToken(std::optional<TokenOutcome> outcome);
    // The exchange that failed; std::nullopt when a failure stored earlier was found instead.
    [[nodiscard]] const std::optional<TokenOutcome>& outcome() const noexcept { return m_outcome; }

  private:
    std::optional<TokenOutcome> m_outcome;
};

// The description of a GET of `path` (starting with "/", query string kept as given) against
// the entitlement service of the profile's cloud environment. The access token comes from the
// result cache entry of this profile (access_token_args), or from an exchange whose result
// (null included) is stored there for ACCESS_TOKEN_ANSWER.ttl seconds. Throws NoAccessToken when
// there is no token, and what get_access_token and access_token_args throw.
RequestDescription create_get_request(const std::string& path, const ServiceAccess& service);

// GET `path` with create_get_request's description; the answer whatever its status. A 401 to a
// token from the cache drops that token and repeats the GET once with a fresh one. Throws like
// create_get_request, ServiceTimeout "The entitlement service did not answer within N s" when
// the request ran out of time, and net::HttpError for other failed transfers.
net::HttpResponse get(const std::string& path, const ServiceAccess& service);

// get(path) when its status is from 200 to 299. Throws like get, net::HttpStatusError for
// 400-599, and core::VorpaneException "The entitlement service answered with the unexpected
// status N" for any other.
net::HttpResponse get_success(const std::string& path, const ServiceAccess& service);

// `description` as a GET for net::http_send: its URL, headers, verification flag and
// time-out; redirects are not followed.
net::HttpRequest to_http_request(const RequestDescription& description);

} // namespace vorpane::api

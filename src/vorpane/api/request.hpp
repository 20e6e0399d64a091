#pragma once

#include "vorpane/api/endpoints.hpp"
#include "vorpane/api/token.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/util/http.hpp"

#include <string>
#include <utility>
#include <vector>

namespace vorpane::api {

// An authenticated GET against the entitlement service.
struct RequestKWARGSDict {
    // "Accept" = ACCEPT, then "Authorization" = "Bearer <access token>".
    std::vector<std::pair<std::string, std::string>> headers;
    // The entitlement service URL followed directly by the requested path.
    std::string url;
    bool verify = VERIFY;
    long timeout = TIMEOUT;
};

// The description of a GET of `path` (starting with "/", query string kept as given). The
// access token comes from the result cache in the configuration directory, or from an exchange
// whose result (null included) is stored there for ACCESS_TOKEN_TTL seconds. Throws
// VorpaneException("No access token created. Did you add token id and token secret?") when
// there is no token, and whatever _get_access_token, the store or the configuration throw.
RequestKWARGSDict create_get_request(const std::string& path);
// The same with an open store and an HTTP client of the caller's choice.
RequestKWARGSDict
create_get_request(const std::string& path, config::ResultCache& cache, const HttpSend& send);

// `description` as a GET for util::http_send: its URL, headers, verification flag and
// time-out; redirects are not followed.
util::HttpRequest to_http_request(const RequestKWARGSDict& description);

} // namespace vorpane::api

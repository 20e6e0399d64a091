#pragma once

#include "vorpane/config/records.hpp"
#include "vorpane/util/http.hpp"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpane::api {

// Sends one HTTP request; util::http_send in the tool, a recording stand-in in tests.
using HttpSend = std::function<util::HttpResponse(const util::HttpRequest&)>;

// A 200 answer of the token service that holds no usable token (not JSON, not an object, no
// string "access_token"). The message never repeats the answer's content.
class TokenServiceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The body of every token request: {"grant_type": "client_credentials"}.
inline constexpr std::string_view TOKEN_REQUEST_BODY = R"({"grant_type": "client_credentials"})";

// Seconds the whole token exchange may take, however slowly the service answers.
inline constexpr long TOKEN_TIMEOUT = 60;

// The token exchange request for `profile` against the token service at `token_api_url`:
// POST <url>/oauth/token with Basic credentials base64(token_id ":" token), a JSON body and
// an overall time-out of TOKEN_TIMEOUT seconds.
util::HttpRequest token_request(const config::VorpaneProfile& profile,
                                const std::string& token_api_url);

// Exchanges the stored token id and secret for an access token. Not cached: callers go
// through create_get_request. Returns std::nullopt, after printing one line to standard
// output, when the service answers a status other than 200 ("Authentication failed. Status
// code: N"), the transfer fails ("HTTP error occurred: ...") or the system fails reading the
// configuration or talking ("Error reading configuration: ..."). Throws ValidationError /
// ConfigParseError for a configuration without a valid profile and TokenServiceError for an
// unusable 200 answer (not JSON, nested too deep, no string "access_token").
std::optional<std::string> _get_access_token();
// The same, sending through `send`.
std::optional<std::string> _get_access_token(const HttpSend& send);

} // namespace vorpane::api

#pragma once

#include "vorpane/config/cache.hpp"
#include "vorpane/net/http.hpp"
#include "vorpane/records/records.hpp"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpane::api {

// A 200 answer of the token service that holds no usable token (not JSON, not an object, no
// string "access_token"). The message never repeats the answer's content.
class TokenServiceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Whether `text` has the form of an OAuth bearer token (RFC 6750 b64token): at least one of
// A-Z a-z 0-9 - . _ ~ + /, then any number of "=".
bool is_bearer_token(std::string_view text);

// The body of every token request: {"grant_type": "client_credentials"}.
inline constexpr std::string_view TOKEN_REQUEST_BODY = R"({"grant_type": "client_credentials"})";

// Seconds the whole token exchange may take, however slowly the service answers.
inline constexpr long TOKEN_TIMEOUT = 60;

// The token exchange request for `profile` against the token service at `token_api_url`:
// POST <url>/oauth/token with Basic credentials base64(token_id ":" token), a JSON body and
// an overall time-out of TOKEN_TIMEOUT seconds.
net::HttpRequest token_request(const records::VorpaneProfile& profile,
                               const std::string& token_api_url);

// The result of one token exchange: the access token, or why there is none.
struct TokenOutcome {
    enum class Kind {
        // `token` holds the access token.
        ok,
        // The service answered `status`, not 200: it refused the credentials.
        rejected,
        // No answer came; `detail` is the HTTP client's one-line reason.
        unreachable,
        // A system call of the tool failed; `detail` is its message, escaped.
        local_failure,
    };
    Kind kind = Kind::ok;
    std::optional<std::string> token;
    long status = 0;
    std::string detail;
};

// The cached token exchange: an access token serves online runs for 30 minutes and never an
// offline run, nor is it kept past its expiry.
inline constexpr config::CachedOperation ACCESS_TOKEN_ANSWER{"vorpane.api._get_access_token",
                                                             "69af430bd661f733d9fd7ee289274600",
                                                             1800, false, "access token"};

// The arguments part of the key of the access token obtained with `profile`: the SHA-256 digest
// of its token id, secret and cloud environment, so that a token serves only the credentials it
// was obtained with while the secret itself is never stored. Throws like util::sha256_hex.
std::string access_token_args(const records::VorpaneProfile& profile);
// The whole key of that entry. Throws like access_token_args.
std::string access_token_key(const records::VorpaneProfile& profile);

// Exchanges the token id and secret of `profile` for an access token through `http`. Not
// cached: callers go through create_get_request. A status other than 200, a failed transfer or a
// failing system call give an outcome without a token. Throws TokenServiceError for an unusable
// 200 answer (not JSON, nested too deep, no string "access_token", not a bearer token).
TokenOutcome get_access_token(const records::VorpaneProfile& profile, net::HttpClient& http);

} // namespace vorpane::api

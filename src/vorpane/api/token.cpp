#include "vorpane/api/token.hpp"

#include "vorpane/api/answer.hpp"
#include "vorpane/api/endpoints.hpp"
#include "vorpane/util/crypto.hpp"
#include "vorpane/util/redact.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <system_error>

namespace vorpane::api {

namespace {

std::string read_token(const std::string& body) {
    // The parser's own message quotes the text it choked on, which may be a token: say only
    // what is wrong.
    nlohmann::json answer;
    try {
        answer = parse_service_json(body, "The token service");
    } catch (const ServiceAnswerError& error) {
        throw TokenServiceError(error.what());
    }
    if (!answer.is_object() || !answer.contains("access_token")) {
        throw TokenServiceError(
            "The token service sent an invalid answer: it holds no \"access_token\".");
    }
    const nlohmann::json& token = answer.at("access_token");
    if (!token.is_string()) {
        throw TokenServiceError(
            "The token service sent an invalid answer: \"access_token\" is not a string.");
    }
    std::string text = token.get<std::string>();
    if (!is_bearer_token(text)) {
        // Sent as it is, a line break would split the Authorization header of every request.
        throw TokenServiceError("The token service sent an invalid answer: the access token holds "
                                "characters that a bearer token cannot have.");
    }
    return text;
}

} // namespace

bool is_bearer_token(std::string_view text) {
    const size_t padding = text.find_last_not_of('=') + 1;
    if (padding == 0) {
        return false;
    }
    const auto allowed = [](char ch) {
        return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
               std::string_view("-._~+/").find(ch) != std::string_view::npos;
    };
    return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(padding), allowed);
}

net::HttpRequest token_request(const records::VorpaneProfile& profile,
                               const std::string& token_api_url) {
    net::HttpRequest request;
    request.method = "POST";
    request.url = token_api_url + "/oauth/token";
    request.headers = {
        {"Authorization", "Basic " + util::base64_encode(profile.token_id + ":" + profile.token)},
        {"Content-Type", "application/json"},
    };
    request.body = std::string(TOKEN_REQUEST_BODY);
    request.timeout_seconds = TOKEN_TIMEOUT;
    return request;
}

std::string access_token_args(const records::VorpaneProfile& profile) {
    // Each field with its length in front, so that no two profiles give the same text.
    std::string fields;
    for (const std::string* field :
         {&profile.token_id, &profile.token, &profile.cloud_environment}) {
        fields += std::to_string(field->size()) + ":" + *field;
    }
    return "(" + util::sha256_hex(fields) + "){}";
}

std::string access_token_key(const records::VorpaneProfile& profile) {
    return config::cache_key(ACCESS_TOKEN_ANSWER, access_token_args(profile));
}

TokenOutcome get_access_token(const records::VorpaneProfile& profile, net::HttpClient& http) {
    TokenOutcome outcome;
    try {
        const net::HttpResponse response =
            http.send(token_request(profile, get_token_api_url(profile.cloud_environment)));
        if (response.status == 200) {
            outcome.token = read_token(response.body);
            return outcome;
        }
        outcome.kind = TokenOutcome::Kind::rejected;
        outcome.status = response.status;
    } catch (const net::HttpError& error) {
        // Out of time is not a credentials problem; saying so would send the user astray.
        if (const auto waited = error.timed_out_after()) {
            throw ServiceTimeout("The token service", *waited);
        }
        outcome.kind = TokenOutcome::Kind::unreachable;
        outcome.detail = error.what();
    } catch (const std::system_error& error) {
        outcome.kind = TokenOutcome::Kind::local_failure;
        outcome.detail = util::escape_control(error.what());
    }
    return outcome;
}

} // namespace vorpane::api

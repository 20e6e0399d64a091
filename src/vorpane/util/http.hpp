#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpane::util {

// The largest answer body http_send accepts; a longer one ends the transfer with HttpError.
inline constexpr std::size_t MAX_BODY_BYTES = std::size_t{64} << 20;
// The longest any single request may take, from connecting to the last byte of the answer.
inline constexpr long MAX_REQUEST_SECONDS = 60;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    // Sent in this order; a header that libcurl would add itself is replaced by one of the same
    // name.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool verify = true;
    // Limit for the whole exchange, at most (and by default) MAX_REQUEST_SECONDS. Within it the
    // connection attempt is limited to 30 seconds and a transfer slower than 1 byte/s for 60
    // seconds is aborted, so nothing waits for ever, however slowly the answer trickles in.
    std::optional<long> timeout_seconds;
    // Redirects are followed only to http and https addresses, and only to https ones when the
    // request starts on https.
    bool follow_redirects = false;
    // Sent as the User-Agent header when not empty.
    std::string user_agent;
};

struct HttpResponse {
    long status = 0;
    // The reason phrase of the status line with its control characters escaped
    // (util::escape_control), or the standard phrase when the protocol has none.
    std::string reason;
    // The headers of the final answer, in arrival order.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The URL that answered (differs from the request's only when redirects were followed).
    std::string url;

    // The value of the first header named `name` (compared without regard to case).
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// A transfer that did not produce a complete answer: connection refused, name not resolved,
// TLS or protocol failure, time-out, a body shorter than announced or longer than
// MAX_BODY_BYTES, a redirect from https to another protocol. what() is one line: the client's
// error text followed by the URL in parentheses (any password in it masked, control characters
// escaped).
class HttpError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An answer with a 4xx or 5xx status: "404 Client Error: Not Found for url: <url>".
class HttpStatusError : public HttpError {
  public:
    HttpStatusError(long status, const std::string& message)
        : HttpError(message), m_status(status) {}
    [[nodiscard]] long status() const noexcept { return m_status; }

  private:
    long m_status;
};

// Sends `request` and returns the whole answer, whatever its status. Loads libcurl on first use.
// Throws HttpError when the transfer fails (also when the answer announces or delivers more
// than MAX_BODY_BYTES, which is never held in memory) and std::runtime_error when libcurl
// cannot be loaded.
HttpResponse http_send(const HttpRequest& request);

// Sends requests; the tool uses CurlHttpClient, tests put a recording stand-in in its place.
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // The whole answer to `request`, whatever its status. Throws HttpError when the transfer
    // fails.
    virtual HttpResponse send(const HttpRequest& request) = 0;
};

// http_send with the tool's User-Agent on every request that names none.
class CurlHttpClient final : public HttpClient {
  public:
    explicit CurlHttpClient(std::string user_agent) : m_user_agent(std::move(user_agent)) {}
    HttpResponse send(const HttpRequest& request) override;

  private:
    std::string m_user_agent;
};

// Throws HttpStatusError when `response` has a status from 400 to 599 (its reason phrase and URL
// escaped); otherwise does nothing.
void raise_for_status(const HttpResponse& response);

// The standard reason phrase of `status` ("Not Found"), or "" for an unknown code.
std::string_view standard_reason(long status);

} // namespace vorpane::util

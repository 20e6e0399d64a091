#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpane::util {
struct ProgressOutput;
} // namespace vorpane::util

namespace vorpane::net {

// The largest answer body http_send accepts; a longer one ends the transfer with HttpError.
inline constexpr std::size_t MAX_BODY_BYTES = std::size_t{64} << 20;
// The longest any single attempt may take, from connecting to the last byte of the answer.
inline constexpr long MAX_REQUEST_SECONDS = 60;
// The time a request may take across all its attempts and the waits between them.
inline constexpr long REQUEST_BUDGET_SECONDS = 120;

// The certificates a transfer trusts: the CA bundle and directory that replace the system trust
// store when not empty.
struct TlsTrust {
    std::string ca_file;
    std::string ca_dir;

    // From `env` (the run's environment): the bundle named by SSL_CERT_FILE, else
    // REQUESTS_CA_BUNDLE, else CURL_CA_BUNDLE, and the directory named by SSL_CERT_DIR (empty
    // counts as unset).
    static TlsTrust from(const std::function<std::optional<std::string>(const std::string&)>& env);
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    // Sent in this order; a header that libcurl would add itself is replaced by one of the same
    // name.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool verify = true;
    // Limit for one attempt, at most (and by default) MAX_REQUEST_SECONDS. Within it the
    // connection attempt is limited to 30 seconds and a transfer slower than 1 byte/s for 60
    // seconds is aborted, so nothing waits for ever, however slowly the answer trickles in.
    std::optional<long> timeout_seconds;
    // Limit for all attempts of the request together (CurlHttpClient), at most (and by default)
    // REQUEST_BUDGET_SECONDS; an attempt gets what is left of it when that is less than its own.
    std::optional<long> budget_seconds;
    // Redirects are followed only to http and https addresses, and only to https ones when the
    // request starts on https.
    bool follow_redirects = false;
    // Sent as the User-Agent header when not empty.
    std::string user_agent;
    // The client's when empty.
    TlsTrust trust;
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
    // How many attempts the client made; 0 for an answer that no client counted.
    unsigned attempts = 0;

    // The value of the first header named `name` (compared without regard to case).
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// A transfer that did not produce a complete answer: connection refused, name not resolved,
// TLS or protocol failure, time-out, a body shorter than announced or longer than
// MAX_BODY_BYTES, a redirect from https to another protocol. what() is one line: the client's
// error text followed by the URL in parentheses (any password in it masked, control characters
// escaped), and " (after N attempts)" when the client gave up retrying.
class HttpError : public std::runtime_error {
  public:
    explicit HttpError(const std::string& message,
                       bool transient = false,
                       std::optional<long> timed_out_after = std::nullopt)
        : std::runtime_error(message), m_transient(transient), m_timed_out_after(timed_out_after) {}
    // Whether another attempt might succeed (see is_transient in curl.hpp).
    [[nodiscard]] bool transient() const noexcept { return m_transient; }
    // For a request that ran out of time: the whole seconds it waited for its answer, attempts
    // and waits included. Nothing for any other failure.
    [[nodiscard]] std::optional<long> timed_out_after() const noexcept { return m_timed_out_after; }

  private:
    bool m_transient;
    std::optional<long> m_timed_out_after;
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

// Retries: how many, the waits between them, and what each attempt did.
inline constexpr unsigned DEFAULT_RETRIES = 3;
inline constexpr unsigned MAX_RETRIES = 100;
// Before retry n the client waits a random time up to min(MAX_BACKOFF, FIRST_BACKOFF * 2^(n-1))
// (exponential backoff with full jitter), or what a Retry-After header asks, at most
// MAX_RETRY_AFTER.
inline constexpr std::chrono::milliseconds FIRST_BACKOFF{500};
inline constexpr std::chrono::milliseconds MAX_BACKOFF{8000};
inline constexpr std::chrono::milliseconds MAX_RETRY_AFTER{30000};

// One attempt of a request or download, as RetryPolicy::on_attempt sees it.
struct HttpAttempt {
    std::string method;
    // Password masked, control characters escaped.
    std::string url;
    // 1 for the first attempt.
    unsigned number = 1;
    // The answer's status, 0 when none came.
    long status = 0;
    // Why the attempt failed without an answer (one line, escaped); empty when an answer came.
    std::string error;
    // Body bytes received by this attempt.
    std::uint64_t bytes = 0;
    std::chrono::milliseconds elapsed{0};
    bool will_retry = false;
};

// How a client retries transient failures: the connection refused or reset, a time-out, no
// answer or a body cut short, and the statuses 408, 429, 500, 502, 503 and 504. Other answers
// and complete but malformed bodies are never retried. Every member may be left empty.
struct RetryPolicy {
    // The number of retries after the first attempt (0: one attempt only); asked before each
    // request, so that a bad setting fails the first request rather than the start-up. What it
    // throws propagates from the request. Empty: DEFAULT_RETRIES.
    std::function<unsigned()> retries;
    // Waits between the attempts of a single request. Empty: a real sleep. (Downloads wait on
    // the steady clock while the others go on.)
    std::function<void(std::chrono::milliseconds)> sleep;
    // Uniform in [0, 1), for the jitter. Empty: a generator seeded from std::random_device.
    std::function<double()> random;
    // Called once per attempt, when it has ended (verbose output). Empty: nothing.
    std::function<void(const HttpAttempt&)> on_attempt;

    // retries() or DEFAULT_RETRIES.
    [[nodiscard]] unsigned retry_count() const;
    // The wait before retry `retry` (1, 2, ...): the Retry-After header's (seconds or an HTTP
    // date), at most MAX_RETRY_AFTER, else the jittered backoff.
    [[nodiscard]] std::chrono::milliseconds
    delay(unsigned retry, const std::optional<std::string>& retry_after) const;
    // on_attempt(attempt) when set.
    void report(const HttpAttempt& attempt) const;
};

// Reads a retry count setting: digits only, at most MAX_RETRIES; "" means DEFAULT_RETRIES.
// Nothing when it is anything else.
std::optional<unsigned> parse_retry_count(std::string_view text);

// How long a Retry-After value asks to wait from `now`: whole seconds or an HTTP date (a past
// date is 0). Nothing when it is neither.
std::optional<std::chrono::milliseconds>
parse_retry_after(std::string_view value, std::chrono::system_clock::time_point now);

// A Content-Range value "bytes 100-199/200" as (100, 200); the total is nothing when it is "*".
// Nothing when the value has another form.
std::optional<std::pair<std::uint64_t, std::optional<std::uint64_t>>>
parse_content_range(std::string_view value);

// True for the statuses worth another attempt: 408, 429, 500, 502, 503, 504.
bool is_transient_status(long status);

// " (after N attempts)" ("attempt" for 1): the suffix of an error the client gave up retrying.
std::string attempts_suffix(unsigned attempts);

// Sends `request` once and returns the whole answer, whatever its status. Loads libcurl on first
// use.
// Throws HttpError when the transfer fails (transient() says whether another attempt may
// succeed; an answer that announces or delivers more than MAX_BODY_BYTES, which is never held in
// memory, is not transient) and std::runtime_error when libcurl
// cannot be loaded.
HttpResponse http_send(const HttpRequest& request);
// The same with the attempt limited to `limit` (at most the request's own time-out).
HttpResponse http_send(const HttpRequest& request, std::chrono::milliseconds limit);

struct DownloadJob;
struct DownloadHandlers;
struct DownloadLimits;

// Sends requests; the tool uses CurlHttpClient, tests put a recording stand-in in its place.
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // The whole answer to `request`, whatever its status. Throws HttpError when the transfer
    // fails.
    virtual HttpResponse send(const HttpRequest& request) = 0;
    // Fetches every job concurrently within `limits`, as net::run_downloads does. This default
    // throws std::logic_error: stand-ins that only answer requests do not download.
    virtual void download(const std::vector<DownloadJob>& jobs,
                          const DownloadHandlers& handlers,
                          const util::ProgressOutput& output,
                          const DownloadLimits& limits);
};

// http_send with the tool's User-Agent on every request that names none, and with `retry`'s
// retries: a transient failure is tried again after a wait; when none are left, or the request's
// budget would run out before the next attempt, the last answer is returned (its `attempts`
// counted) or the last HttpError thrown with attempts_suffix (timed_out_after set when the last
// attempt ran out of time). Its
// downloads are net::run_downloads with the same User-Agent and retries.
class CurlHttpClient final : public HttpClient {
  public:
    explicit CurlHttpClient(std::string user_agent, RetryPolicy retry = {}, TlsTrust trust = {})
        : m_user_agent(std::move(user_agent)), m_retry(std::move(retry)),
          m_trust(std::move(trust)) {}
    HttpResponse send(const HttpRequest& request) override;
    void download(const std::vector<DownloadJob>& jobs,
                  const DownloadHandlers& handlers,
                  const util::ProgressOutput& output,
                  const DownloadLimits& limits) override;

  private:
    std::string m_user_agent;
    RetryPolicy m_retry;
    TlsTrust m_trust;
};

// Takes one header line of an answer as libcurl hands it over into `head`: a status line
// ("HTTP/1.1 404 Not Found") starts a new answer (an interim 100 or a followed redirect) and
// sets the reason phrase, escaped; any other "Name: value" line is added to the headers.
void read_header_line(HttpResponse& head, std::string_view line);

// The HttpStatusError text of `response` when its status is from 400 to 599 (reason phrase,
// or the standard one when it has none, and URL escaped; attempts_suffix when a retried status
// was given up on); nothing otherwise.
std::optional<std::string> status_error_text(const HttpResponse& response);

// Throws HttpStatusError with status_error_text when there is one; otherwise does nothing.
void raise_for_status(const HttpResponse& response);

// The standard reason phrase of `status` ("Not Found"), or "" for an unknown code.
std::string_view standard_reason(long status);

} // namespace vorpane::net

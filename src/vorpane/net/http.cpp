#include "vorpane/net/http.hpp"

#include "vorpane/net/curl.hpp"
#include "vorpane/net/downloader.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <random>
#include <thread>

namespace vorpane::net {

namespace {

using std::chrono::milliseconds;

// A URL as it may appear in a message: no password, no control characters.
std::string shown_url(std::string_view url) {
    return util::escape_control(util::mask_url_password(url));
}

HttpError too_large(const HttpRequest& request) {
    return HttpError("answer refused: its body is larger than " +
                     std::to_string(MAX_BODY_BYTES >> 20) + " MiB (" + shown_url(request.url) +
                     ")");
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// `text` as a whole unsigned number; nothing when it is anything else or too large.
std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// True when `length`, a Content-Length value, is a number above `limit`. Anything that is not a
// number is left to libcurl, which refuses it itself.
bool announces_more_than(std::string_view length, std::size_t limit) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), value);
    if (error == std::errc::result_out_of_range) {
        return true;
    }
    return error == std::errc() && end == length.data() + length.size() && value > limit;
}

bool has_header(const HttpRequest& request, std::string_view name) {
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [&](const auto& header) { return iequals(header.first, name); });
}

// Collects the answer of http_send, refusing bodies above MAX_BODY_BYTES before they are held.
class MemorySink final : public TransferSink {
  public:
    MemorySink(HttpResponse& response, const HttpRequest& request)
        : m_response(response), m_request(request) {}

  private:
    void header_line(std::string_view line) override {
        const std::size_t known = m_response.headers.size();
        read_header_line(m_response, line);
        // Refused before a byte of the body arrives; body() counts as well, for answers that
        // announce no length or a false one.
        if (m_response.headers.size() > known) {
            const auto& [name, value] = m_response.headers.back();
            if (iequals(name, "Content-Length") && m_request.method != "HEAD" &&
                announces_more_than(value, MAX_BODY_BYTES)) {
                throw too_large(m_request);
            }
        }
    }
    void body(const char* data, std::size_t size) override {
        if (size > MAX_BODY_BYTES - m_response.body.size()) {
            throw too_large(m_request);
        }
        m_response.body.append(data, size);
    }

    HttpResponse& m_response;
    const HttpRequest& m_request;
};

double default_random() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

} // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (iequals(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

void read_header_line(HttpResponse& head, std::string_view line) {
    if (line.starts_with("HTTP/")) {
        head.headers.clear();
        head.reason.clear();
        const std::string_view rest = util::trim(line);
        const auto first = rest.find(' ');
        const auto second = first == std::string_view::npos ? first : rest.find(' ', first + 1);
        if (second != std::string_view::npos) {
            head.reason = util::escape_control(util::trim(rest.substr(second + 1)));
        }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        head.headers.emplace_back(std::string(util::trim(line.substr(0, colon))),
                                  std::string(util::trim(line.substr(colon + 1))));
    }
}

HttpResponse http_send(const HttpRequest& request) {
    return http_send(request, std::chrono::seconds(MAX_REQUEST_SECONDS));
}

HttpResponse http_send(const HttpRequest& request, milliseconds limit) {
    CurlEasy easy;
    TransferSetup setup;
    setup.url = request.url;
    setup.user_agent = request.user_agent;
    setup.trust = request.trust;
    setup.verify = request.verify;
    setup.follow_redirects = request.follow_redirects;
    const milliseconds own = std::chrono::seconds(
        std::clamp(request.timeout_seconds.value_or(MAX_REQUEST_SECONDS), 1L, MAX_REQUEST_SECONDS));
    setup.total_ms = std::max(milliseconds(1), std::min(own, limit)).count();
    set_up_transfer(easy, setup);

    if (request.method == "GET") {
        easy.setopt(CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
        easy.setopt(CURLOPT_NOBODY, 1L);
    } else if (request.method == "POST") {
        easy.setopt(CURLOPT_POST, 1L);
    } else {
        easy.setopt(CURLOPT_CUSTOMREQUEST, request.method);
    }
    if (!request.body.empty() || request.method == "POST") {
        easy.setopt(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        easy.setopt(CURLOPT_POSTFIELDS, request.body.data());
    }

    CurlSlist headers = header_list(request.headers);
    if (!request.body.empty() && !has_header(request, "Expect")) {
        // Small bodies go out at once instead of waiting for a 100 Continue.
        headers.append("Expect:");
    }
    easy.setopt(CURLOPT_HTTPHEADER, headers.get());

    HttpResponse response;
    MemorySink sink(response, request);
    sink.attach(easy);
    const CURLcode code = easy.perform();
    sink.rethrow_parked();
    if (code == CURLE_OPERATION_TIMEDOUT) {
        throw HttpError(transfer_failure(easy, code, request.url), true,
                        std::max(1L, static_cast<long>(
                                         std::lround(easy.getinfo<double>(CURLINFO_TOTAL_TIME)))));
    }
    if (code != CURLE_OK) {
        throw HttpError(transfer_failure(easy, code, request.url), is_transient(code));
    }
    response.status = easy.getinfo<long>(CURLINFO_RESPONSE_CODE);
    if (response.reason.empty()) {
        response.reason = std::string(standard_reason(response.status));
    }
    const char* effective = easy.getinfo<char*>(CURLINFO_EFFECTIVE_URL);
    response.url = effective != nullptr ? std::string(effective) : request.url;
    return response;
}

std::optional<std::string> status_error_text(const HttpResponse& response) {
    const char* kind = nullptr;
    if (response.status >= 400 && response.status < 500) {
        kind = "Client Error";
    } else if (response.status >= 500 && response.status < 600) {
        kind = "Server Error";
    } else {
        return std::nullopt;
    }
    // The reason is escaped where it is read; escaping it again keeps a hand-made one safe too
    // (escaped text has nothing left to escape).
    const std::string reason = response.reason.empty()
                                   ? std::string(standard_reason(response.status))
                                   : util::escape_control(response.reason);
    return std::to_string(response.status) + " " + kind + ": " + reason +
           " for url: " + shown_url(response.url) +
           (is_transient_status(response.status) && response.attempts > 0
                ? attempts_suffix(response.attempts)
                : "");
}

void raise_for_status(const HttpResponse& response) {
    if (auto text = status_error_text(response)) {
        throw HttpStatusError(response.status, *text);
    }
}

bool is_transient_status(long status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
}

std::string attempts_suffix(unsigned attempts) {
    return " (after " + std::to_string(attempts) + (attempts == 1 ? " attempt)" : " attempts)");
}

std::optional<unsigned> parse_retry_count(std::string_view text) {
    if (text.empty()) {
        return DEFAULT_RETRIES;
    }
    const auto value = whole_number(text);
    if (!value || *value > MAX_RETRIES) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*value);
}

std::optional<milliseconds> parse_retry_after(std::string_view value,
                                              std::chrono::system_clock::time_point now) {
    value = util::trim(value);
    if (const auto seconds = whole_number(value)) {
        return milliseconds(std::min<std::uint64_t>(*seconds, 1'000'000) * 1000);
    }
    // An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT".
    std::tm parts{};
    const std::string text(value);
    const char* end = ::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    const auto at = std::chrono::system_clock::from_time_t(::timegm(&parts));
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(at - now));
}

std::optional<std::pair<std::uint64_t, std::optional<std::uint64_t>>>
parse_content_range(std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    const auto dash = value.find('-');
    const auto slash = value.find('/');
    if (!value.starts_with(unit) || dash == std::string_view::npos ||
        slash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    const auto first = whole_number(value.substr(unit.size(), dash - unit.size()));
    if (!first) {
        return std::nullopt;
    }
    return std::pair{*first, whole_number(value.substr(slash + 1))};
}

unsigned RetryPolicy::retry_count() const {
    return retries ? retries() : DEFAULT_RETRIES;
}

milliseconds RetryPolicy::delay(unsigned retry,
                                const std::optional<std::string>& retry_after) const {
    if (retry_after) {
        if (auto asked = parse_retry_after(*retry_after, std::chrono::system_clock::now())) {
            return std::min(*asked, MAX_RETRY_AFTER);
        }
    }
    const unsigned doublings = std::min(retry == 0 ? 0U : retry - 1, 16U);
    const auto ceiling = std::min(MAX_BACKOFF, FIRST_BACKOFF * (std::int64_t{1} << doublings));
    const double fraction = std::clamp(random ? random() : default_random(), 0.0, 1.0);
    return milliseconds(std::llround(static_cast<double>(ceiling.count()) * fraction));
}

void RetryPolicy::report(const HttpAttempt& attempt) const {
    if (on_attempt) {
        on_attempt(attempt);
    }
}

std::string_view standard_reason(long status) {
    switch (status) {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 203:
        return "Non-Authoritative Information";
    case 204:
        return "No Content";
    case 205:
        return "Reset Content";
    case 206:
        return "Partial Content";
    case 300:
        return "Multiple Choices";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 402:
        return "Payment Required";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 406:
        return "Not Acceptable";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 416:
        return "Range Not Satisfiable";
    case 417:
        return "Expectation Failed";
    case 418:
        return "I'm a Teapot";
    case 421:
        return "Misdirected Request";
    case 422:
        return "Unprocessable Entity";
    case 425:
        return "Too Early";
    case 426:
        return "Upgrade Required";
    case 428:
        return "Precondition Required";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 451:
        return "Unavailable For Legal Reasons";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 505:
        return "HTTP Version Not Supported";
    case 511:
        return "Network Authentication Required";
    default:
        return "";
    }
}

HttpResponse CurlHttpClient::send(const HttpRequest& request) {
    HttpRequest with_agent = request;
    if (with_agent.user_agent.empty()) {
        with_agent.user_agent = m_user_agent;
    }
    if (with_agent.trust.ca_file.empty() && with_agent.trust.ca_dir.empty()) {
        with_agent.trust = m_trust;
    }
    const unsigned retries = m_retry.retry_count();
    const auto begun = std::chrono::steady_clock::now();
    const auto deadline =
        begun +
        std::chrono::seconds(std::clamp(request.budget_seconds.value_or(REQUEST_BUDGET_SECONDS), 1L,
                                        REQUEST_BUDGET_SECONDS));
    const auto left = [&] {
        return std::chrono::duration_cast<milliseconds>(deadline -
                                                        std::chrono::steady_clock::now());
    };
    for (unsigned number = 1;; ++number) {
        HttpAttempt attempt;
        attempt.method = request.method;
        attempt.url = shown_url(request.url);
        attempt.number = number;
        const auto started = std::chrono::steady_clock::now();
        const auto finish = [&](bool will_retry) {
            attempt.elapsed = std::chrono::duration_cast<milliseconds>(
                std::chrono::steady_clock::now() - started);
            attempt.will_retry = will_retry;
            m_retry.report(attempt);
            return will_retry;
        };
        std::optional<std::string> retry_after;
        std::optional<milliseconds> wait;
        // A retry is worth it only when its wait leaves some of the budget for the attempt.
        const auto again = [&](bool transient) {
            if (transient && number <= retries) {
                wait = m_retry.delay(number, retry_after);
                return *wait + milliseconds(1000) < left();
            }
            return false;
        };
        try {
            HttpResponse response = http_send(with_agent, left());
            response.attempts = number;
            attempt.status = response.status;
            attempt.bytes = response.body.size();
            retry_after = response.header("Retry-After");
            if (!finish(again(is_transient_status(response.status)))) {
                return response;
            }
        } catch (const HttpError& error) {
            attempt.error = error.what();
            if (!finish(again(error.transient()))) {
                if (!error.transient()) {
                    throw;
                }
                std::optional<long> waited;
                if (error.timed_out_after()) {
                    waited = std::max(
                        1L,
                        static_cast<long>(std::lround(
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun)
                                .count())));
                }
                throw HttpError(error.what() + attempts_suffix(number), true, waited);
            }
        }
        if (m_retry.sleep) {
            m_retry.sleep(*wait);
        } else {
            std::this_thread::sleep_for(*wait);
        }
    }
}

void CurlHttpClient::download(const std::vector<DownloadJob>& jobs,
                              const DownloadHandlers& handlers,
                              const util::ProgressOutput& output,
                              const DownloadLimits& limits) {
    run_downloads(jobs, handlers, output, m_retry, m_user_agent, m_trust, limits);
}

void HttpClient::download(const std::vector<DownloadJob>& /*jobs*/,
                          const DownloadHandlers& /*handlers*/,
                          const util::ProgressOutput& /*output*/,
                          const DownloadLimits& /*limits*/) {
    throw std::logic_error("this HTTP client does not download");
}

} // namespace vorpane::net

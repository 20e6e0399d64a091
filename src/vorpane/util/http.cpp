#include "vorpane/util/http.hpp"

#include "vorpane/util/curl.hpp"
#include "vorpane/util/redact.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <exception>

namespace vorpane::util {

namespace {

// A URL as it may appear in a message: no password, no control characters.
std::string shown_url(std::string_view url) {
    return escape_control(mask_url_password(url));
}

struct Sink {
    HttpResponse* response;
    const HttpRequest* request;
    std::exception_ptr error;
};

HttpError too_large(const HttpRequest& request) {
    return HttpError("answer refused: its body is larger than " +
                     std::to_string(MAX_BODY_BYTES >> 20) + " MiB (" + shown_url(request.url) +
                     ")");
}

std::string_view trim(std::string_view text) {
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
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

// libcurl calls these from inside curl_easy_perform: an exception must not unwind through C,
// so it is parked in the sink and a short count makes libcurl stop the transfer.
size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    try {
        if (size * count > MAX_BODY_BYTES - sink->response->body.size()) {
            throw too_large(*sink->request);
        }
        sink->response->body.append(data, size * count);
        return size * count;
    } catch (...) {
        sink->error = std::current_exception();
        return 0;
    }
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    try {
        const std::string_view line(data, size * count);
        if (line.starts_with("HTTP/")) {
            // A new status line starts a new answer (an interim 100 or a followed redirect).
            sink->response->headers.clear();
            sink->response->reason.clear();
            const std::string_view rest = trim(line);
            const auto first = rest.find(' ');
            const auto second = first == std::string_view::npos ? first : rest.find(' ', first + 1);
            if (second != std::string_view::npos) {
                sink->response->reason = escape_control(trim(rest.substr(second + 1)));
            }
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            const std::string_view name = trim(line.substr(0, colon));
            const std::string_view value = trim(line.substr(colon + 1));
            // Refused before a byte of the body arrives; the write callback counts as well, for
            // answers that announce no length or a false one.
            if (iequals(name, "Content-Length") && sink->request->method != "HEAD" &&
                announces_more_than(value, MAX_BODY_BYTES)) {
                throw too_large(*sink->request);
            }
            sink->response->headers.emplace_back(std::string(name), std::string(value));
        }
        return size * count;
    } catch (...) {
        sink->error = std::current_exception();
        return 0;
    }
}

bool starts_with_ci(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

bool has_header(const HttpRequest& request, std::string_view name) {
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [&](const auto& header) { return iequals(header.first, name); });
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

HttpResponse http_send(const HttpRequest& request) {
    CurlEasy easy;
    apply_common_options(easy, request.user_agent);
    if (!request.verify) {
        easy.setopt(CURLOPT_SSL_VERIFYPEER, 0L);
        easy.setopt(CURLOPT_SSL_VERIFYHOST, 0L);
    }
    easy.setopt(CURLOPT_URL, request.url);
    // Only web URLs, also after a redirect: a crafted Location must not reach file:// or others,
    // nor take a request that started encrypted onto plain http.
    const bool secure = starts_with_ci(request.url, "https://");
    easy.setopt(CURLOPT_PROTOCOLS_STR, "http,https");
    easy.setopt(CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    easy.setopt(CURLOPT_FOLLOWLOCATION, request.follow_redirects ? 1L : 0L);
    easy.setopt(CURLOPT_CONNECTTIMEOUT, 30L);
    // The stall limit alone lets an answer that trickles one byte a minute hold on for ever.
    const long seconds =
        std::clamp(request.timeout_seconds.value_or(MAX_REQUEST_SECONDS), 1L, MAX_REQUEST_SECONDS);
    easy.setopt(CURLOPT_TIMEOUT_MS, seconds * 1000L);
    easy.setopt(CURLOPT_LOW_SPEED_LIMIT, 1L);
    easy.setopt(CURLOPT_LOW_SPEED_TIME, 60L);

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

    CurlSlist headers;
    for (const auto& [name, value] : request.headers) {
        // "Name;" is libcurl's way of sending a header with an empty value.
        headers.append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!request.body.empty() && !has_header(request, "Expect")) {
        // Small bodies go out at once instead of waiting for a 100 Continue.
        headers.append("Expect:");
    }
    easy.setopt(CURLOPT_HTTPHEADER, headers.get());

    HttpResponse response;
    Sink sink{&response, &request, nullptr};
    easy.setopt(CURLOPT_WRITEFUNCTION, &on_body);
    easy.setopt(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
    easy.setopt(CURLOPT_HEADERFUNCTION, &on_header);
    easy.setopt(CURLOPT_HEADERDATA, static_cast<void*>(&sink));

    const CURLcode code = easy.perform();
    if (sink.error) {
        std::rethrow_exception(sink.error);
    }
    if (code == CURLE_UNSUPPORTED_PROTOCOL && secure && request.follow_redirects) {
        throw HttpError("redirect from https to another protocol refused (" +
                        shown_url(request.url) + ")");
    }
    if (code != CURLE_OK) {
        throw HttpError(escape_control(easy.error_text(code)) + " (" + shown_url(request.url) +
                        ")");
    }
    response.status = easy.getinfo<long>(CURLINFO_RESPONSE_CODE);
    if (response.reason.empty()) {
        response.reason = std::string(standard_reason(response.status));
    }
    const char* effective = easy.getinfo<char*>(CURLINFO_EFFECTIVE_URL);
    response.url = effective != nullptr ? std::string(effective) : request.url;
    return response;
}

void raise_for_status(const HttpResponse& response) {
    const char* kind = nullptr;
    if (response.status >= 400 && response.status < 500) {
        kind = "Client Error";
    } else if (response.status >= 500 && response.status < 600) {
        kind = "Server Error";
    } else {
        return;
    }
    // The reason is escaped where it is read; escaping it again keeps a hand-made one safe too
    // (escaped text has nothing left to escape).
    throw HttpStatusError(response.status, std::to_string(response.status) + " " + kind + ": " +
                                               escape_control(response.reason) +
                                               " for url: " + shown_url(response.url));
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
    if (!request.user_agent.empty()) {
        return http_send(request);
    }
    HttpRequest with_agent = request;
    with_agent.user_agent = m_user_agent;
    return http_send(with_agent);
}

} // namespace vorpane::util

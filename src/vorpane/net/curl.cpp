#include "vorpane/net/curl.hpp"

#include "vorpane/util/redact.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace vorpane::net {

namespace {

bool is_https(std::string_view url) {
    constexpr std::string_view scheme = "https://";
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

} // namespace

CurlEasy::CurlEasy() : m_api(&util::curl_api()) {
    m_handle = m_api->curl_easy_init();
    if (m_handle == nullptr) {
        throw std::runtime_error("cannot create a libcurl handle");
    }
    setopt(CURLOPT_ERRORBUFFER, static_cast<char*>(m_error));
}

CurlEasy::~CurlEasy() {
    m_api->curl_easy_cleanup(m_handle);
}

CURLcode CurlEasy::perform() noexcept {
    clear_error();
    return m_api->curl_easy_perform(m_handle);
}

std::string CurlEasy::error_text(CURLcode code) const {
    std::string text = m_error[0] != '\0' ? std::string(m_error) : std::string();
    if (text.empty()) {
        text = m_api->curl_easy_strerror(code);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

void CurlEasy::reset() {
    m_api->curl_easy_reset(m_handle);
    clear_error();
    setopt(CURLOPT_ERRORBUFFER, static_cast<char*>(m_error));
}

void CurlEasy::check_setopt(CURLoption option, CURLcode code) const {
    if (code != CURLE_OK) {
        throw std::runtime_error("libcurl refused option " + std::to_string(option) + ": " +
                                 m_api->curl_easy_strerror(code));
    }
}

void CurlEasy::check_getinfo(CURLINFO info, CURLcode code) const {
    if (code != CURLE_OK) {
        throw std::runtime_error("libcurl cannot report info " + std::to_string(info) + ": " +
                                 m_api->curl_easy_strerror(code));
    }
}

CurlSlist::~CurlSlist() {
    if (m_list != nullptr) {
        util::curl_api().curl_slist_free_all(m_list);
    }
}

CurlSlist::CurlSlist(CurlSlist&& other) noexcept : m_list(std::exchange(other.m_list, nullptr)) {}

CurlSlist& CurlSlist::operator=(CurlSlist&& other) noexcept {
    if (this != &other) {
        if (m_list != nullptr) {
            util::curl_api().curl_slist_free_all(m_list);
        }
        m_list = std::exchange(other.m_list, nullptr);
    }
    return *this;
}

void CurlSlist::append(const std::string& line) {
    curl_slist* longer = util::curl_api().curl_slist_append(m_list, line.c_str());
    if (longer == nullptr) {
        throw std::runtime_error("libcurl could not extend a header list");
    }
    m_list = longer;
}

CurlMulti::CurlMulti() : m_api(&util::curl_api()) {
    m_handle = m_api->curl_multi_init();
    if (m_handle == nullptr) {
        throw std::runtime_error("cannot create a libcurl multi handle");
    }
}

CurlMulti::~CurlMulti() {
    for (CURL* easy : m_easies) {
        m_api->curl_multi_remove_handle(m_handle, easy);
    }
    m_api->curl_multi_cleanup(m_handle);
}

void CurlMulti::check(const char* what, CURLMcode code) const {
    if (code != CURLM_OK) {
        throw std::runtime_error(std::string(what) +
                                 " failed: " + m_api->curl_multi_strerror(code));
    }
}

void CurlMulti::setopt(CURLMoption option, long value) {
    check("curl_multi_setopt", m_api->curl_multi_setopt(m_handle, option, value));
}

void CurlMulti::add(CurlEasy& easy) {
    easy.clear_error();
    check("curl_multi_add_handle", m_api->curl_multi_add_handle(m_handle, easy.get()));
    m_easies.push_back(easy.get());
}

void CurlMulti::remove(CurlEasy& easy) {
    auto found = std::find(m_easies.begin(), m_easies.end(), easy.get());
    if (found == m_easies.end()) {
        return;
    }
    m_easies.erase(found);
    check("curl_multi_remove_handle", m_api->curl_multi_remove_handle(m_handle, easy.get()));
}

int CurlMulti::perform() {
    int running = 0;
    check("curl_multi_perform", m_api->curl_multi_perform(m_handle, &running));
    return running;
}

int CurlMulti::poll(int timeout_ms) {
    int ready = 0;
    check("curl_multi_poll", m_api->curl_multi_poll(m_handle, nullptr, 0, timeout_ms, &ready));
    return ready;
}

CURLMsg* CurlMulti::info_read() noexcept {
    int queued = 0;
    return m_api->curl_multi_info_read(m_handle, &queued);
}

TlsTrust TlsTrust::from(const std::function<std::optional<std::string>(const std::string&)>& env) {
    TlsTrust trust;
    for (const char* name : {"SSL_CERT_FILE", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"}) {
        if (trust.ca_file.empty()) {
            trust.ca_file = env(name).value_or("");
        }
    }
    trust.ca_dir = env("SSL_CERT_DIR").value_or("");
    return trust;
}

void apply_common_options(CurlEasy& easy, const std::string& user_agent, const TlsTrust& trust) {
    easy.setopt(CURLOPT_NOSIGNAL, 1L);
    easy.setopt(CURLOPT_SSL_VERIFYPEER, 1L);
    easy.setopt(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!user_agent.empty()) {
        easy.setopt(CURLOPT_USERAGENT, user_agent);
    }
    // An empty string asks libcurl to offer, and decode, every encoding it was built with.
    easy.setopt(CURLOPT_ACCEPT_ENCODING, "");

    // A bundle or directory named by the user replaces the built-in store entirely, so the
    // built-in counterpart is cleared as well; otherwise a TLS-inspecting proxy's CA would only
    // be added to, not substituted for, the system roots the user chose to leave out.
    const std::string& bundle = trust.ca_file;
    const std::string& directory = trust.ca_dir;
    if (!bundle.empty() || !directory.empty()) {
        if (bundle.empty()) {
            easy.setopt(CURLOPT_CAINFO, nullptr);
        } else {
            easy.setopt(CURLOPT_CAINFO, bundle);
        }
        if (directory.empty()) {
            easy.setopt(CURLOPT_CAPATH, nullptr);
        } else {
            easy.setopt(CURLOPT_CAPATH, directory);
        }
    }
}

void set_up_transfer(CurlEasy& easy, const TransferSetup& setup) {
    apply_common_options(easy, setup.user_agent, setup.trust);
    if (!setup.decode) {
        easy.setopt(CURLOPT_ACCEPT_ENCODING, nullptr);
    }
    if (!setup.verify) {
        easy.setopt(CURLOPT_SSL_VERIFYPEER, 0L);
        easy.setopt(CURLOPT_SSL_VERIFYHOST, 0L);
    }
    easy.setopt(CURLOPT_URL, setup.url);
    // Only web URLs, also after a redirect: a crafted Location must not reach file:// or others,
    // nor take a transfer that started encrypted onto plain http.
    easy.setopt(CURLOPT_PROTOCOLS_STR, "http,https");
    easy.setopt(CURLOPT_REDIR_PROTOCOLS_STR, is_https(setup.url) ? "https" : "http,https");
    easy.setopt(CURLOPT_FOLLOWLOCATION, setup.follow_redirects ? 1L : 0L);
    easy.setopt(CURLOPT_MAXREDIRS, 30L);
    easy.setopt(CURLOPT_CONNECTTIMEOUT, 30L);
    // The stall limit alone lets an answer that trickles one byte a minute hold on for ever;
    // callers that must end in time give a total as well.
    easy.setopt(CURLOPT_LOW_SPEED_LIMIT, setup.low_speed_bytes);
    easy.setopt(CURLOPT_LOW_SPEED_TIME, setup.low_speed_seconds);
    if (setup.total_ms) {
        easy.setopt(CURLOPT_TIMEOUT_MS, *setup.total_ms);
    }
}

CurlSlist header_list(const std::vector<std::pair<std::string, std::string>>& headers) {
    CurlSlist list;
    for (const auto& [name, value] : headers) {
        if (name.find_first_of("\r\n:") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos) {
            throw std::invalid_argument("The request header " +
                                        util::escape_control(name.substr(0, 40)) +
                                        " contains a line break or colon");
        }
        // "Name;" is libcurl's way of sending a header with an empty value.
        list.append(value.empty() ? name + ";" : name + ": " + value);
    }
    return list;
}

bool is_transient(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

std::string transfer_failure(const CurlEasy& easy, CURLcode code, const std::string& url) {
    const char* effective = easy.getinfo<char*>(CURLINFO_EFFECTIVE_URL);
    const std::string reached = effective != nullptr ? std::string(effective) : url;
    const std::string shown = util::escape_control(util::mask_url_password(reached));
    if (code == CURLE_UNSUPPORTED_PROTOCOL && is_https(url) && !is_https(reached)) {
        return "Refusing to follow a redirect away from https (" + shown + ")";
    }
    return util::escape_control(easy.error_text(code)) + " (" + shown + ")";
}

void TransferSink::attach(CurlEasy& easy) {
    easy.setopt(CURLOPT_WRITEFUNCTION, &TransferSink::on_body);
    easy.setopt(CURLOPT_WRITEDATA, static_cast<void*>(this));
    easy.setopt(CURLOPT_HEADERFUNCTION, &TransferSink::on_header);
    easy.setopt(CURLOPT_HEADERDATA, static_cast<void*>(this));
}

void TransferSink::rethrow_parked() {
    if (m_parked) {
        std::rethrow_exception(std::exchange(m_parked, nullptr));
    }
}

// A short count makes libcurl stop the transfer; the exception waits for rethrow_parked().
std::size_t TransferSink::on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<TransferSink*>(user);
    try {
        self->header_line(std::string_view(data, size * count));
        return size * count;
    } catch (...) {
        self->m_parked = std::current_exception();
        return 0;
    }
}

std::size_t TransferSink::on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<TransferSink*>(user);
    try {
        self->body(data, size * count);
        return size * count;
    } catch (...) {
        self->m_parked = std::current_exception();
        return 0;
    }
}

} // namespace vorpane::net

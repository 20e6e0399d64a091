#pragma once

#include "vorpane/net/http.hpp"
#include "vorpane/util/libcurl.hpp"

#include <curl/curl.h>

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorpane::net {

// One easy handle with its own error buffer registered (CURLOPT_ERRORBUFFER); because libcurl
// keeps a pointer into this object it is neither copyable nor movable.
class CurlEasy {
  public:
    // Throws std::runtime_error when libcurl cannot be loaded or hands back no handle.
    CurlEasy();
    ~CurlEasy();
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;
    CurlEasy(CurlEasy&&) = delete;
    CurlEasy& operator=(CurlEasy&&) = delete;

    [[nodiscard]] CURL* get() const noexcept { return m_handle; }

    // Sets `option` to a long, a curl_off_t or a pointer (strings, callbacks, user data).
    // Throws std::runtime_error with libcurl's text when the option is refused.
    template <class T> void setopt(CURLoption option, T value) {
        static_assert(std::is_same_v<T, long> || std::is_same_v<T, curl_off_t> ||
                          std::is_pointer_v<T> || std::is_null_pointer_v<T>,
                      "libcurl options take long, curl_off_t or a pointer");
        check_setopt(option, m_api->curl_easy_setopt(m_handle, option, value));
    }
    void setopt(CURLoption option, const std::string& value) { setopt(option, value.c_str()); }

    // Reads `info` into a T (long, curl_off_t, double or char*). Throws std::runtime_error.
    template <class T> [[nodiscard]] T getinfo(CURLINFO info) const {
        T value{};
        check_getinfo(info, m_api->curl_easy_getinfo(m_handle, info, &value));
        return value;
    }

    // Runs the transfer (clearing the error buffer first) and returns libcurl's result code;
    // never throws.
    CURLcode perform() noexcept;

    // The detailed error text of the last transfer, or libcurl's generic text for `code` when
    // the buffer is empty. One line.
    [[nodiscard]] std::string error_text(CURLcode code) const;

    // Clears the error buffer; multi transfers call this before adding the handle.
    void clear_error() noexcept { m_error[0] = '\0'; }

    // Resets every option to libcurl's default and registers the error buffer again.
    void reset();

  private:
    void check_setopt(CURLoption option, CURLcode code) const;
    void check_getinfo(CURLINFO info, CURLcode code) const;

    const util::CurlApi* m_api;
    CURL* m_handle = nullptr;
    char m_error[CURL_ERROR_SIZE] = {};
};

// A libcurl string list (request headers), freed on destruction.
class CurlSlist {
  public:
    // Does not load libcurl until the first append.
    CurlSlist() = default;
    ~CurlSlist();
    CurlSlist(const CurlSlist&) = delete;
    CurlSlist& operator=(const CurlSlist&) = delete;
    CurlSlist(CurlSlist&& other) noexcept;
    CurlSlist& operator=(CurlSlist&& other) noexcept;

    // Appends a copy of `line`. Throws std::runtime_error when libcurl runs out of memory.
    void append(const std::string& line);
    // The list head, null while empty; owned by this object.
    [[nodiscard]] curl_slist* get() const noexcept { return m_list; }

  private:
    curl_slist* m_list = nullptr;
};

// A multi handle. It remembers the easy handles added to it and removes them before
// curl_multi_cleanup, the order libcurl requires; those easy handles must outlive it (or be
// removed first). Neither copyable nor movable.
class CurlMulti {
  public:
    // Throws std::runtime_error when libcurl cannot be loaded or hands back no handle.
    CurlMulti();
    ~CurlMulti();
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;
    CurlMulti(CurlMulti&&) = delete;
    CurlMulti& operator=(CurlMulti&&) = delete;

    [[nodiscard]] CURLM* get() const noexcept { return m_handle; }

    // Sets a multi option to a long. Throws std::runtime_error.
    void setopt(CURLMoption option, long value);
    // Adds `easy`, clearing its error buffer. Throws std::runtime_error.
    void add(CurlEasy& easy);
    // Removes `easy` if it was added; a no-op otherwise. Throws std::runtime_error.
    void remove(CurlEasy& easy);
    // Drives the transfers once; returns how many are still running. Throws std::runtime_error.
    int perform();
    // Waits up to `timeout_ms` for activity; returns the number of ready descriptors.
    // Throws std::runtime_error.
    int poll(int timeout_ms);
    // The next completion message or null when none is queued; never throws.
    CURLMsg* info_read() noexcept;

  private:
    void check(const char* what, CURLMcode code) const;

    const util::CurlApi* m_api;
    CURLM* m_handle = nullptr;
    std::vector<CURL*> m_easies;
};

// How one transfer is set up; shared by single requests and downloads.
struct TransferSetup {
    std::string url;
    // Sent as the User-Agent header when not empty.
    std::string user_agent;
    bool verify = true;
    // Redirects are followed only to http and https addresses, and only to https ones when the
    // transfer starts on https.
    bool follow_redirects = false;
    // Limit for the whole exchange in milliseconds; none leaves only the connection limit (30 s)
    // and the stall limit, which always apply.
    std::optional<long> total_ms;
    // The stall limit: a transfer slower than `low_speed_bytes` a second, averaged over
    // `low_speed_seconds`, is abandoned (CURLE_OPERATION_TIMEDOUT).
    long low_speed_bytes = 1;
    long low_speed_seconds = 60;
    // Offer and decode every content encoding. Downloads turn it off: their lengths and ranges
    // count the bytes as sent.
    bool decode = true;
    TlsTrust trust;
};

// Sets `easy` up for `setup` (apply_common_options included). Throws std::runtime_error when
// libcurl refuses an option.
void set_up_transfer(CurlEasy& easy, const TransferSetup& setup);

// The request header lines for CURLOPT_HTTPHEADER, in order: "Name: value", or "Name;" for an
// empty value. Throws std::invalid_argument when a name holds a colon or a line break, or a
// value a line break.
CurlSlist header_list(const std::vector<std::pair<std::string, std::string>>& headers);

// True for a failure that another attempt may not meet: the connection refused or reset, a
// time-out, no answer at all, or a body cut short.
bool is_transient(CURLcode code);

// The one-line description of a transfer of `easy` that ended with `code`, followed by the URL
// in parentheses (password masked, control characters escaped): the URL that was reached, or
// the refused one when a redirect would have left https.
std::string transfer_failure(const CurlEasy& easy, CURLcode code, const std::string& url);

// Receives the header lines and body of a transfer. libcurl calls in from C, so what these
// throw is parked, the transfer stopped, and the exception rethrown by rethrow_parked(). Once
// attached libcurl points at it: neither copyable nor movable.
class TransferSink {
  public:
    TransferSink() = default;
    virtual ~TransferSink() = default;
    TransferSink(const TransferSink&) = delete;
    TransferSink& operator=(const TransferSink&) = delete;
    TransferSink(TransferSink&&) = delete;
    TransferSink& operator=(TransferSink&&) = delete;

    // Routes the header lines and body of `easy` to this sink.
    void attach(CurlEasy& easy);
    // Rethrows what a callback threw during the last transfer, if anything; then forgets it.
    void rethrow_parked();

  protected:
    // One header line as libcurl hands it over, line break included.
    virtual void header_line(std::string_view line) = 0;
    // The next piece of the body.
    virtual void body(const char* data, std::size_t size) = 0;

  private:
    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user);
    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user);

    std::exception_ptr m_parked;
};

// Options every transfer of the tool uses: TLS verification on (peer and host); the CA bundle
// and directory of `trust`, which replace the system trust store when set;
// `user_agent` as the User-Agent when not empty; every content encoding libcurl can decode; no
// signals. Proxies come from the standard variables, which libcurl reads itself. Throws
// std::runtime_error when libcurl refuses an option.
void apply_common_options(CurlEasy& easy, const std::string& user_agent, const TlsTrust& trust);

} // namespace vorpane::net

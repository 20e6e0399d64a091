#pragma once

#include "vorpane/util/dynlib.hpp"

#include <curl/curl.h>

#include <optional>
#include <string>
#include <string_view>

namespace vorpane::util {

// The libcurl functions the tool uses, resolved from the shared library at first use. Each
// member is named and typed after its C declaration.
struct CurlApi {
    // Opens "libcurl.so.4" (else "libcurl.so"), resolves every member and runs
    // curl_global_init. Throws std::runtime_error when the library or a symbol is missing or
    // the global initialisation fails.
    CurlApi();

    DynLib lib;

    decltype(&::curl_global_init) curl_global_init = nullptr;

    decltype(&::curl_easy_init) curl_easy_init = nullptr;
    decltype(&::curl_easy_setopt) curl_easy_setopt = nullptr;
    decltype(&::curl_easy_perform) curl_easy_perform = nullptr;
    decltype(&::curl_easy_getinfo) curl_easy_getinfo = nullptr;
    decltype(&::curl_easy_cleanup) curl_easy_cleanup = nullptr;
    decltype(&::curl_easy_strerror) curl_easy_strerror = nullptr;
    decltype(&::curl_easy_reset) curl_easy_reset = nullptr;

    decltype(&::curl_slist_append) curl_slist_append = nullptr;
    decltype(&::curl_slist_free_all) curl_slist_free_all = nullptr;

    decltype(&::curl_multi_init) curl_multi_init = nullptr;
    decltype(&::curl_multi_setopt) curl_multi_setopt = nullptr;
    decltype(&::curl_multi_add_handle) curl_multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) curl_multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) curl_multi_perform = nullptr;
    decltype(&::curl_multi_poll) curl_multi_poll = nullptr;
    decltype(&::curl_multi_info_read) curl_multi_info_read = nullptr;
    decltype(&::curl_multi_cleanup) curl_multi_cleanup = nullptr;
    decltype(&::curl_multi_strerror) curl_multi_strerror = nullptr;

    decltype(&::curl_url) curl_url = nullptr;
    decltype(&::curl_url_set) curl_url_set = nullptr;
    decltype(&::curl_url_get) curl_url_get = nullptr;
    decltype(&::curl_url_cleanup) curl_url_cleanup = nullptr;
    decltype(&::curl_free) curl_free = nullptr;
};

// The process's libcurl, loaded and globally initialised on the first call; later calls return
// the same object. Throws std::runtime_error (see CurlApi) on the first call that fails.
const CurlApi& curl_api();

// A URL as libcurl's URL parser takes it apart.
struct UrlParts {
    // The URL without user and password, put back together by libcurl (host in lower case,
    // "/" for an empty path).
    std::string address;
    // The host without port, in lower case ("[::1]" for IPv6).
    std::string host;
    // The user part and the password, percent-decoded; nothing when the URL has none.
    std::optional<std::string> user;
    std::optional<std::string> password;
};

// `url` split by libcurl (curl_url, any scheme). Nothing when libcurl cannot parse it, as with
// a password holding a raw "/", "#", "?" or "@" (those must be percent-encoded). Throws
// std::runtime_error when libcurl cannot be loaded.
std::optional<UrlParts> split_url(std::string_view url);

} // namespace vorpane::util

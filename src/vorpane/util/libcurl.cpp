#include "vorpane/util/libcurl.hpp"

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <utility>

namespace vorpane::util {

CurlApi::CurlApi() : lib({"libcurl.so.4", "libcurl.so"}) {
    VORPANE_DYN_FN(lib, curl_global_init);
    VORPANE_DYN_FN(lib, curl_easy_init);
    VORPANE_DYN_FN(lib, curl_easy_setopt);
    VORPANE_DYN_FN(lib, curl_easy_perform);
    VORPANE_DYN_FN(lib, curl_easy_getinfo);
    VORPANE_DYN_FN(lib, curl_easy_cleanup);
    VORPANE_DYN_FN(lib, curl_easy_strerror);
    VORPANE_DYN_FN(lib, curl_easy_reset);
    VORPANE_DYN_FN(lib, curl_slist_append);
    VORPANE_DYN_FN(lib, curl_slist_free_all);
    VORPANE_DYN_FN(lib, curl_multi_init);
    VORPANE_DYN_FN(lib, curl_multi_setopt);
    VORPANE_DYN_FN(lib, curl_multi_add_handle);
    VORPANE_DYN_FN(lib, curl_multi_remove_handle);
    VORPANE_DYN_FN(lib, curl_multi_perform);
    VORPANE_DYN_FN(lib, curl_multi_poll);
    VORPANE_DYN_FN(lib, curl_multi_info_read);
    VORPANE_DYN_FN(lib, curl_multi_cleanup);
    VORPANE_DYN_FN(lib, curl_multi_strerror);
    VORPANE_DYN_FN(lib, curl_url);
    VORPANE_DYN_FN(lib, curl_url_set);
    VORPANE_DYN_FN(lib, curl_url_get);
    VORPANE_DYN_FN(lib, curl_url_cleanup);
    VORPANE_DYN_FN(lib, curl_free);
    const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("cannot initialise libcurl: ") +
                                 curl_easy_strerror(code));
    }
}

const CurlApi& curl_api() {
    // Loading happens once and the table never changes afterwards; a failed load throws here
    // and is retried by the next call.
    static const CurlApi api;
    return api;
}

std::optional<UrlParts> split_url(std::string_view url) {
    const CurlApi& api = curl_api();
    const std::unique_ptr<CURLU, void (*)(CURLU*)> handle(api.curl_url(), api.curl_url_cleanup);
    if (!handle) {
        throw std::runtime_error("libcurl could not create a URL handle");
    }
    const std::string text(url);
    if (text.find('\0') != std::string::npos ||
        api.curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK) {
        return std::nullopt;
    }
    const auto part = [&](CURLUPart which, unsigned flags) -> std::optional<std::string> {
        char* value = nullptr;
        if (api.curl_url_get(handle.get(), which, &value, flags) != CURLUE_OK || value == nullptr) {
            return std::nullopt;
        }
        std::string copy(value);
        api.curl_free(value);
        return copy;
    };
    // libcurl will not decode to control characters; such credentials are unreadable rather
    // than absent.
    const auto decoded = [&](CURLUPart which, std::optional<std::string>& into) {
        into = part(which, CURLU_URLDECODE);
        return into.has_value() || !part(which, 0).has_value();
    };
    UrlParts parts;
    if (!decoded(CURLUPART_USER, parts.user) || !decoded(CURLUPART_PASSWORD, parts.password)) {
        return std::nullopt;
    }
    std::string host = part(CURLUPART_HOST, 0).value_or("");
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (api.curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK ||
        api.curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK ||
        api.curl_url_set(handle.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    auto address = part(CURLUPART_URL, 0);
    if (!address) {
        return std::nullopt;
    }
    parts.address = std::move(*address);
    parts.host = std::move(host);
    return parts;
}

} // namespace vorpane::util

#pragma once

#include "vorpane/api/request.hpp"
#include "vorpane/config/cache.hpp"

#include <string>

namespace vorpane::api {

// The last address the service gave: never used by an online run (the service is asked each
// time), kept for offline ones.
inline constexpr config::CachedOperation PACKAGE_INDEX_ANSWER{
    "vorpane.api.get_package_index_address", "6fad3700b59297c4377ead9031018777", 0, true,
    "package index address"};

// The address of the private package index: the "location" of the service's 303 answer to
// GET "/pip" (redirects not followed), stored as PACKAGE_INDEX_ANSWER. Throws HttpStatusError for
// 400-599, HttpError for transport failures, and core::VorpaneException for any other status or a
// 303 without location.
std::string get_package_index_address(const ServiceAccess& service);

} // namespace vorpane::api

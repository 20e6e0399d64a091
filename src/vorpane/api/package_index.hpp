#pragma once

#include "vorpane/api/request.hpp"

#include <string>

namespace vorpane::api {

// The address of the private package index: the "location" of the service's 303 answer to
// GET "/pip" (redirects not followed). Throws HttpStatusError for 400-599, HttpError for
// transport failures, and core::VorpaneException for any other status or a 303 without location.
std::string get_package_index_address(const ServiceAccess& service);

} // namespace vorpane::api

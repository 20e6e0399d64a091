#pragma once

#include <string>
#include <string_view>

namespace vorpane::api {

// Time-out in seconds of every request description.
inline constexpr long TIMEOUT = 5;
// TLS certificate verification flag of every request description.
inline constexpr bool VERIFY = true;
// Accept header of every request description.
inline constexpr std::string_view ACCEPT = "application/vnd.api+json";
// Version path segment of the core service.
inline constexpr std::string_view CORE_API_VERSION = "v1";
// The DNS domain of every service host, fixed when the tool is built; may carry a port.
inline constexpr std::string_view SERVICE_DOMAIN = VORPANE_SERVICE_DOMAIN;

// "https://core.<environment>.<domain>/v1" for a cloud environment ("cloud", "dev.cloud").
std::string get_cloud_api_url(std::string_view environment);
// "https://token.<environment>.<domain>", without a trailing slash.
std::string get_token_api_url(std::string_view environment);
// The core service URL of `environment` followed by "/license".
std::string get_entitlement_api_url(std::string_view environment);

} // namespace vorpane::api

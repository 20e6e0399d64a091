#include "vorpane/api/endpoints.hpp"

namespace vorpane::api {

std::string get_cloud_api_url(std::string_view environment) {
    return "https://core." + std::string(environment) + "." + std::string(SERVICE_DOMAIN) + "/" +
           std::string(CORE_API_VERSION);
}

std::string get_token_api_url(std::string_view environment) {
    return "https://token." + std::string(environment) + "." + std::string(SERVICE_DOMAIN);
}

std::string get_entitlement_api_url(std::string_view environment) {
    return get_cloud_api_url(environment) + "/license";
}

} // namespace vorpane::api

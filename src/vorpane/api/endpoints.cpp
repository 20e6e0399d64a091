#include "vorpane/api/endpoints.hpp"

#include "vorpane/config/config_file.hpp"

namespace vorpane::api {

namespace {

std::string stored_environment() {
    return config::get_configparser().profile.cloud_environment;
}

} // namespace

std::string _get_cloud_api_url(std::string_view environment) {
    return "https://core." + std::string(environment) + "." + std::string(SERVICE_DOMAIN) + "/" +
           std::string(CORE_API_VERSION);
}

std::string _get_token_api_url(std::string_view environment) {
    return "https://token." + std::string(environment) + "." + std::string(SERVICE_DOMAIN);
}

std::string _get_entitlement_api_url(std::string_view environment) {
    return _get_cloud_api_url(environment) + "/license";
}

std::string _get_cloud_api_url() {
    return _get_cloud_api_url(stored_environment());
}

std::string _get_token_api_url() {
    return _get_token_api_url(stored_environment());
}

std::string _get_entitlement_api_url() {
    return _get_entitlement_api_url(stored_environment());
}

} // namespace vorpane::api

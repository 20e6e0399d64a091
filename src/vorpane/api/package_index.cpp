#include "vorpane/api/package_index.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/net/http.hpp"

namespace vorpane::api {

std::string get_package_index_address(const ServiceAccess& service) {
    net::HttpResponse response = get("/pip", service);
    if (response.status != 303) {
        net::raise_for_status(response);
        throw core::VorpaneException("Unexpected status code " + std::to_string(response.status));
    }
    auto location = response.header("location");
    if (!location) {
        throw core::VorpaneException(
            "The service sent no package index address (a 303 answer without "
            "a location header).");
    }
    service.cache.put(config::cache_key(PACKAGE_INDEX_ANSWER), *location, PACKAGE_INDEX_ANSWER.ttl,
                      config::keep_seconds(PACKAGE_INDEX_ANSWER));
    return *location;
}

} // namespace vorpane::api

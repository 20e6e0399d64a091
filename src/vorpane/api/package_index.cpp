#include "vorpane/api/package_index.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/cli/exceptions.hpp"
#include "vorpane/util/http.hpp"

namespace vorpane::api {

std::string get_package_index_address() {
    util::HttpRequest request = to_http_request(create_get_request("/pip"));
    request.follow_redirects = false;
    util::HttpResponse response = util::http_send(request);
    if (response.status != 303) {
        util::raise_for_status(response);
        throw VorpaneException("Unexpected status code " + std::to_string(response.status));
    }
    auto location = response.header("location");
    if (!location) {
        throw VorpaneException("The service sent no package index address (a 303 answer without "
                               "a location header).");
    }
    return *location;
}

} // namespace vorpane::api

#include "vorpane/modules/entitlements.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/util/http.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace vorpane::modules {

namespace {

constexpr int kNameWidth = 25;
const std::string kRule =
    "_________________________  _________________________  _________________________";

std::string pad(const std::string& text) {
    return text.size() >= kNameWidth ? text : text + std::string(kNameWidth - text.size(), ' ');
}

std::vector<config::VorpaneEntitlement> fetch_entitlements() {
    auto request = api::create_get_request("/entitlements");
    util::HttpResponse response = util::http_send(api::to_http_request(request));
    util::raise_for_status(response);
    return parse_entitlements(response.body);
}

} // namespace

std::vector<config::VorpaneEntitlement> parse_entitlements(std::string_view body) {
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded()) {
        throw std::runtime_error("The entitlement service sent an answer that is not JSON");
    }
    if (!doc.is_array()) {
        throw std::runtime_error("The entitlement service sent an answer that is not a list");
    }
    std::vector<config::VorpaneEntitlement> result;
    for (size_t i = 0; i < doc.size(); ++i) {
        const auto& element = doc[i];
        if (element.is_object()) {
            auto packages = element.find("packages");
            if (packages == element.end() || packages->is_null() ||
                (packages->is_array() && packages->empty())) {
                continue;
            }
        }
        result.push_back(config::VorpaneEntitlement::from_json(
            element, "entitlements[" + std::to_string(i) + "]."));
    }
    return result;
}

std::vector<config::VorpaneEntitlement> get_user_entitlements() {
    config::ResultCache cache(config::_get_config_dir());
    nlohmann::json stored =
        config::cached_call(cache, config::ENTITLEMENTS_IDENTITY, config::ENTITLEMENTS_TTL, [] {
            nlohmann::json list = nlohmann::json::array();
            for (const auto& e : fetch_entitlements()) {
                list.push_back(e.to_json());
            }
            return list;
        });
    std::vector<config::VorpaneEntitlement> result;
    for (const auto& element : stored) {
        result.push_back(config::VorpaneEntitlement::from_json(element));
    }
    return result;
}

std::vector<config::VorpaneEntitlement> get_all_entitled_modules() {
    auto all = get_user_entitlements();
    std::vector<config::VorpaneEntitlement> modules;
    std::copy_if(all.begin(), all.end(), std::back_inserter(modules),
                 [](const auto& e) { return e.code.rfind("ENT_PKG", 0) != 0; });
    return modules;
}

std::optional<std::map<std::string, std::string>> parse_pip_show(std::string_view output) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = output.find('\n', start);
        pieces.push_back(output.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    if (pieces.size() < 3) {
        return std::nullopt;
    }
    std::map<std::string, std::string> fields;
    for (std::string_view piece : pieces) {
        size_t sep = piece.find(": ");
        if (sep == std::string_view::npos || piece.find(": ", sep + 2) != std::string_view::npos) {
            continue;
        }
        std::string key(piece.substr(0, sep));
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        fields[key] = std::string(piece.substr(sep + 2));
    }
    return fields;
}

std::optional<std::string> _package_installed_version(const std::string& package_key) {
    std::string output;
    try {
        auto completed = engine::run_uv_in_python({"pip", "show", package_key}, true);
        output = completed.out.value_or("");
    } catch (const VorpaneUVException&) {
        output.clear();
    }
    auto fields = parse_pip_show(output);
    if (!fields) {
        return std::nullopt;
    }
    auto it = fields->find("version");
    if (it == fields->end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<std::string> _get_available_versions(const std::string& /*package_key*/) {
    return {"0.0.0"};
}

config::VorpanePackage _package_key_to_package(const std::string& key, bool check_versions) {
    config::VorpanePackage package;
    package.key = key;
    package.installed_version = _package_installed_version(key);
    if (check_versions) {
        package.available_versions = _get_available_versions(key);
    }
    return package;
}

std::string _package_to_styled_key(const config::VorpanePackage& package) {
    if (!package.installed_version) {
        return style(package.key, "red");
    }
    if (package.needs_update()) {
        return style(package.key, "yellow");
    }
    return style(package.key, "green");
}

void show_all_entitled_modules() {
    const std::string green = style("green", "green");
    const std::string red = style("red", "red");
    const std::string indent(4, ' ');
    const std::string hang(18, ' ');
    send_message(
        "\n" + indent + "The following tables contains all your Vorpane modules.\n\n" + indent +
        "Modules Name: The name of the Vorpane module in human readable form.\n" + indent +
        "Module Key  : The unique key of the Vorpane module. Use this key to install\n" + hang +
        "all packages of the module via `vorpane install <module_key>`.\n" + indent +
        "Packages    : The list of packages available for this module. Vorpane modules\n" + hang +
        "contain one or several python packages. You can install individual\n" + hang +
        "packages using `vorpane install <package_key>`\n\n" + indent + "Color       : " + green +
        " indicates that the package is installed, " + red + " indicates that\n" + hang +
        "the package is not installed.\n" + indent);

    auto modules = get_all_entitled_modules();
    send_message(kRule);
    send_message(pad("Module Name") + ": " + pad("Module Key") + ": Packages");
    send_message(kRule);
    for (const auto& module : modules) {
        std::string packages;
        for (size_t i = 0; i < module.packages.size(); ++i) {
            packages += (i == 0 ? "" : ", ") +
                        _package_to_styled_key(_package_key_to_package(module.packages[i]));
        }
        std::string code = module.code.size() > 4 ? module.code.substr(4) : std::string();
        send_message(pad(module.name) + ": " + pad(code) + ":" + packages);
    }
    send_message(kRule);
}

} // namespace vorpane::modules

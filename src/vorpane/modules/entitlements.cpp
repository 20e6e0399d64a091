#include "vorpane/modules/entitlements.hpp"

#include "vorpane/api/answer.hpp"
#include "vorpane/api/request.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/pyrepr.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/util/http.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/redact.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace vorpane::modules {

namespace {

void check_package_key(const std::string& package_key) {
    if (!config::is_valid_package_key(package_key)) {
        // Keys are checked where they enter; this keeps anything else from reaching uv's options.
        throw core::VorpaneException("Not a valid package name: \"" +
                                     util::escape_control(package_key) + "\"");
    }
}

void warn_dropped(Warnings& warnings,
                  const std::string& what,
                  const std::string& name,
                  const std::string& why) {
    warnings.push_back("Warning: ignored " + what + " \"" + util::escape_control(name) +
                       "\" from the service: " + why);
}

std::vector<config::VorpaneEntitlement> fetch_entitlements(Context& ctx, Warnings& warnings) {
    util::HttpResponse response = api::get("/entitlements", ctx.service());
    util::raise_for_status(response);
    return parse_entitlements(response.body, warnings);
}

} // namespace

std::vector<config::VorpaneEntitlement> parse_entitlements(std::string_view body,
                                                           Warnings& warnings) {
    const nlohmann::json doc = api::parse_service_json(body, "The entitlement service");
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
        auto entitlement = config::VorpaneEntitlement::from_json(
            element, "entitlements[" + std::to_string(i) + "].");
        if (!config::is_valid_entitlement_code(entitlement.code)) {
            warn_dropped(warnings, "the entitlement", entitlement.code,
                         "not a valid entitlement code");
            continue;
        }
        std::erase_if(entitlement.packages, [&](const std::string& key) {
            if (config::is_valid_package_key(key)) {
                return false;
            }
            warn_dropped(warnings, "the package", key, "not a valid package name");
            return true;
        });
        // An entitlement left without packages goes the way of one that came without any.
        if (!entitlement.packages.empty()) {
            result.push_back(std::move(entitlement));
        }
    }
    return result;
}

nlohmann::json parse_package_list(std::string_view body, Warnings& warnings) {
    nlohmann::json doc = api::parse_service_json(body, "The entitlement service");
    if (!doc.is_array()) {
        throw std::runtime_error("The package list from the service is not a JSON list");
    }
    nlohmann::json kept = nlohmann::json::array();
    for (auto& element : doc) {
        const auto key = element.is_object() ? element.find("key") : element.end();
        if (key != element.end() && key->is_string() &&
            !config::is_valid_package_key(key->get_ref<const std::string&>())) {
            warn_dropped(warnings, "the package", key->get<std::string>(),
                         "not a valid package name");
            continue;
        }
        kept.push_back(std::move(element));
    }
    return kept;
}

WithWarnings<std::vector<config::VorpaneEntitlement>> get_user_entitlements(Context& ctx) {
    WithWarnings<std::vector<config::VorpaneEntitlement>> result;
    nlohmann::json stored = config::cached_call(
        ctx.cache(), config::ENTITLEMENTS_IDENTITY, config::ENTITLEMENTS_TTL, [&] {
            nlohmann::json list = nlohmann::json::array();
            for (const auto& e : fetch_entitlements(ctx, result.warnings)) {
                list.push_back(e.to_json());
            }
            return list;
        });
    for (const auto& element : stored) {
        result.value.push_back(config::VorpaneEntitlement::from_json(element));
    }
    return result;
}

WithWarnings<std::vector<config::VorpaneEntitlement>> get_all_entitled_modules(Context& ctx) {
    auto all = get_user_entitlements(ctx);
    std::erase_if(all.value, [](const auto& e) { return e.code.rfind("ENT_PKG", 0) == 0; });
    return all;
}

std::string module_key(const config::VorpaneEntitlement& module) {
    return module.code.size() > 4 ? module.code.substr(4) : std::string();
}

std::vector<ListedModule>
list_installed_state(Context& ctx, const std::vector<config::VorpaneEntitlement>& entitled) {
    std::vector<ListedModule> listing;
    listing.reserve(entitled.size());
    bool any_package = false;
    for (const auto& module : entitled) {
        for (const auto& key : module.packages) {
            check_package_key(key);
            any_package = true;
        }
    }
    // Nothing to look up asks no interpreter and runs no uv.
    engine::InstalledPackages installed;
    if (any_package) {
        engine::Runtime rt{ctx.runner, ctx.target()};
        installed = engine::list_installed_packages(rt);
    }
    for (const auto& module : entitled) {
        ListedModule row{module.name, module_key(module), module.code, {}};
        for (const auto& key : module.packages) {
            config::VorpanePackage package;
            package.key = key;
            package.installed_version = installed.version_of(key);
            row.packages.push_back(std::move(package));
        }
        listing.push_back(std::move(row));
    }
    return listing;
}

} // namespace vorpane::modules

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

namespace vorpane::modules {

namespace {

// uv's complaint as one short line fit for a terminal.
std::string one_line_of(std::string_view text) {
    constexpr size_t kMaxShown = 500;
    std::string joined;
    for (char c : text.substr(0, kMaxShown)) {
        const bool space = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (!space || (!joined.empty() && joined.back() != ' ')) {
            joined += space ? ' ' : c;
        }
    }
    while (!joined.empty() && joined.back() == ' ') {
        joined.pop_back();
    }
    return util::escape_control(util::mask_url_password(joined));
}

std::optional<std::string> installed_version(Context& ctx, const std::string& package_key) {
    if (!config::is_valid_package_key(package_key)) {
        // Keys are checked where they enter; this keeps anything else from reaching uv's options.
        throw core::VorpaneException("Not a valid package name: \"" +
                                     util::escape_control(package_key) + "\"");
    }
    const std::vector<std::string> args = {"pip", "show", package_key};
    std::vector<std::string> argv = {ctx.target().uv()};
    argv.insert(argv.end(), args.begin(), args.end());
    util::ProcessOptions options;
    options.capture = true;
    const util::ProcessResult result = ctx.runner.run(argv, ctx.target().child_env(), options);
    // `uv pip show` exits with 1 for a package that is not installed; anything else is a
    // failure of uv or of the environment, which must not pass for "not installed".
    if (result.returncode == 1) {
        return std::nullopt;
    }
    if (result.returncode != 0) {
        std::string message = "Error running uv with " + engine::python_tuple_repr(args) +
                              ": exit status " + std::to_string(result.returncode);
        if (const std::string said = one_line_of(result.err.value_or("")); !said.empty()) {
            message += ": " + said;
        }
        throw core::VorpaneUVException(message);
    }
    auto fields = parse_pip_show(result.out.value_or(""));
    if (!fields) {
        return std::nullopt;
    }
    auto it = fields->find("version");
    if (it == fields->end()) {
        return std::nullopt;
    }
    return it->second;
}

void warn_dropped(Warnings& warnings,
                  const std::string& what,
                  const std::string& name,
                  const std::string& why) {
    warnings.push_back("Warning: ignored " + what + " \"" + util::escape_control(name) +
                       "\" from the service: " + why);
}

std::vector<config::VorpaneEntitlement> fetch_entitlements(Context& ctx) {
    util::HttpResponse response = api::get("/entitlements", ctx.service());
    util::raise_for_status(response);
    Warnings warnings;
    auto entitlements = parse_entitlements(response.body, warnings);
    for (const auto& line : warnings) {
        ctx.out.send_error(line);
    }
    return entitlements;
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

std::vector<config::VorpaneEntitlement> get_user_entitlements(Context& ctx) {
    nlohmann::json stored = config::cached_call(ctx.cache(), config::ENTITLEMENTS_IDENTITY,
                                                config::ENTITLEMENTS_TTL, [&ctx] {
                                                    nlohmann::json list = nlohmann::json::array();
                                                    for (const auto& e : fetch_entitlements(ctx)) {
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

std::vector<config::VorpaneEntitlement> get_all_entitled_modules(Context& ctx) {
    auto all = get_user_entitlements(ctx);
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

std::optional<std::string> _package_installed_version(Context& ctx,
                                                      const std::string& package_key) {
    return installed_version(ctx, package_key);
}

std::vector<std::string> _get_available_versions(const std::string& /*package_key*/) {
    return {"0.0.0"};
}

config::VorpanePackage
_package_key_to_package(Context& ctx, const std::string& key, bool check_versions) {
    config::VorpanePackage package;
    package.key = key;
    package.installed_version = installed_version(ctx, key);
    if (check_versions) {
        package.available_versions = _get_available_versions(key);
    }
    return package;
}

std::vector<PackageResult> query_packages(Context& ctx, const std::vector<std::string>& keys) {
    std::vector<PackageResult> results(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        try {
            results[i].package = _package_key_to_package(ctx, keys[i]);
        } catch (...) {
            results[i].error = std::current_exception();
            // Later keys would only fail the same way (no uv, no interpreter).
            results.resize(i + 1);
            break;
        }
    }
    return results;
}

} // namespace vorpane::modules

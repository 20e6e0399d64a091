#include "vorpane/modules/entitlements.hpp"

#include "vorpane/api/answer.hpp"
#include "vorpane/api/request.hpp"
#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
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

constexpr int kNameWidth = 25;
const std::string kRule =
    "_________________________  _________________________  _________________________";

std::string pad(const std::string& text) {
    return text.size() >= kNameWidth ? text : text + std::string(kNameWidth - text.size(), ' ');
}

// Where `uv pip show` runs: found once per listing rather than once per package.
struct UvTarget {
    std::string uv;
    std::map<std::string, std::string> env;
};

UvTarget uv_target() {
    const std::string root = engine::detect_virtualenv();
    return {engine::_find_uv_bin(), engine::child_environment(root)};
}

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

std::optional<std::string> installed_version(const std::string& package_key,
                                             const UvTarget& target) {
    if (!config::is_valid_package_key(package_key)) {
        // Keys are checked where they enter; this keeps anything else from reaching uv's options.
        throw VorpaneException("Not a valid package name: \"" + util::escape_control(package_key) +
                               "\"");
    }
    const std::vector<std::string> args = {"pip", "show", package_key};
    std::vector<std::string> argv = {target.uv};
    argv.insert(argv.end(), args.begin(), args.end());
    util::ProcessOptions options;
    options.capture = true;
    const util::ProcessResult result = util::run_process(argv, target.env, options);
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
        throw VorpaneUVException(message);
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

void warn_dropped(const std::string& what, const std::string& name, const std::string& why) {
    send_error("Warning: ignored " + what + " \"" + util::escape_control(name) +
               "\" from the service: " + why);
}

std::vector<config::VorpaneEntitlement> fetch_entitlements() {
    auto request = api::create_get_request("/entitlements");
    util::HttpResponse response = util::http_send(api::to_http_request(request));
    util::raise_for_status(response);
    return parse_entitlements(response.body);
}

} // namespace

std::vector<config::VorpaneEntitlement> parse_entitlements(std::string_view body) {
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
            warn_dropped("the entitlement", entitlement.code, "not a valid entitlement code");
            continue;
        }
        std::erase_if(entitlement.packages, [&](const std::string& key) {
            if (config::is_valid_package_key(key)) {
                return false;
            }
            warn_dropped("the package", key, "not a valid package name");
            return true;
        });
        // An entitlement left without packages goes the way of one that came without any.
        if (!entitlement.packages.empty()) {
            result.push_back(std::move(entitlement));
        }
    }
    return result;
}

nlohmann::json parse_package_list(std::string_view body) {
    nlohmann::json doc = api::parse_service_json(body, "The entitlement service");
    if (!doc.is_array()) {
        throw std::runtime_error("The package list from the service is not a JSON list");
    }
    nlohmann::json kept = nlohmann::json::array();
    for (auto& element : doc) {
        const auto key = element.is_object() ? element.find("key") : element.end();
        if (key != element.end() && key->is_string() &&
            !config::is_valid_package_key(key->get_ref<const std::string&>())) {
            warn_dropped("the package", key->get<std::string>(), "not a valid package name");
            continue;
        }
        kept.push_back(std::move(element));
    }
    return kept;
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
    return installed_version(package_key, uv_target());
}

std::vector<std::string> _get_available_versions(const std::string& /*package_key*/) {
    return {"0.0.0"};
}

namespace {

config::VorpanePackage
key_to_package(const std::string& key, const UvTarget& target, bool check_versions) {
    config::VorpanePackage package;
    package.key = key;
    package.installed_version = installed_version(key, target);
    if (check_versions) {
        package.available_versions = _get_available_versions(key);
    }
    return package;
}

} // namespace

config::VorpanePackage _package_key_to_package(const std::string& key, bool check_versions) {
    return key_to_package(key, uv_target(), check_versions);
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
    // Looked up at the first package, so that a missing uv ends the table where it stands.
    std::optional<UvTarget> target;
    send_message(kRule);
    send_message(pad("Module Name") + ": " + pad("Module Key") + ": Packages");
    send_message(kRule);
    for (const auto& module : modules) {
        std::string packages;
        for (size_t i = 0; i < module.packages.size(); ++i) {
            if (!target) {
                target = uv_target();
            }
            packages += (i == 0 ? "" : ", ") +
                        _package_to_styled_key(key_to_package(module.packages[i], *target, false));
        }
        std::string code = module.code.size() > 4 ? module.code.substr(4) : std::string();
        // The name is free text from the service; codes and keys were checked on arrival.
        send_message(pad(util::escape_control(module.name)) + ": " + pad(code) + ":" + packages);
    }
    send_message(kRule);
}

} // namespace vorpane::modules

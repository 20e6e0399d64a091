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
#include <atomic>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vorpane::modules {

namespace {

// The most `uv pip show` children of a listing that run at once; each is mostly a Python
// start-up, so more than this only makes them compete.
constexpr size_t MAX_PARALLEL_QUERIES = 8;

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

void check_package_key(const std::string& package_key) {
    if (!config::is_valid_package_key(package_key)) {
        // Keys are checked where they enter; this keeps anything else from reaching uv's options.
        throw core::VorpaneException("Not a valid package name: \"" +
                                     util::escape_control(package_key) + "\"");
    }
}

// One `uv pip show` run with uv and the children's environment already found, so that several
// threads may run it at once (finding them is not thread-safe).
std::optional<std::string> installed_version_with(engine::ProcessRunner& runner,
                                                  const std::string& uv,
                                                  const std::map<std::string, std::string>& env,
                                                  const std::string& package_key) {
    check_package_key(package_key);
    const std::vector<std::string> args = {"pip", "show", package_key};
    std::vector<std::string> argv = {uv};
    argv.insert(argv.end(), args.begin(), args.end());
    util::ProcessOptions options;
    options.capture = true;
    const util::ProcessResult result = runner.run(argv, env, options);
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

std::optional<std::string> installed_version(Context& ctx, const std::string& package_key) {
    check_package_key(package_key);
    const std::string& uv = ctx.target().uv();
    return installed_version_with(ctx.runner, uv, ctx.target().child_env(), package_key);
}

void warn_dropped(Warnings& warnings,
                  const std::string& what,
                  const std::string& name,
                  const std::string& why) {
    warnings.push_back("Warning: ignored " + what + " \"" + util::escape_control(name) +
                       "\" from the service: " + why);
}

std::vector<config::VorpaneEntitlement> fetch_entitlements(Context& ctx) {
    util::HttpResponse response = api::get_success("/entitlements", ctx.service());
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
    if (keys.empty()) {
        return results;
    }
    // The target's lookups are lazy and not thread-safe: they happen here, before any worker.
    const std::string* uv = nullptr;
    const std::map<std::string, std::string>* env = nullptr;
    std::exception_ptr setup_error;
    try {
        uv = &ctx.target().uv();
        env = &ctx.target().child_env();
    } catch (...) {
        setup_error = std::current_exception();
    }
    const auto query = [&](size_t i) {
        results[i].package.key = keys[i];
        check_package_key(keys[i]);
        if (setup_error) {
            std::rethrow_exception(setup_error);
        }
        results[i].package.installed_version =
            installed_version_with(ctx.runner, *uv, *env, keys[i]);
    };

    // Workers take the keys in order; after a failure no key past it is started, since the
    // caller stops at the first failure in key order anyway (a missing interpreter or a Ctrl-C
    // would only fail the rest the same way).
    std::atomic<size_t> next{0};
    std::atomic<size_t> first_failure{keys.size()};
    const auto work = [&] {
        for (size_t i = next++; i < keys.size() && i < first_failure.load(); i = next++) {
            try {
                query(i);
            } catch (...) {
                results[i].error = std::current_exception();
                size_t seen = first_failure.load();
                while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
                }
            }
        }
    };
    const size_t processors = std::max(1U, std::thread::hardware_concurrency());
    const size_t workers =
        setup_error ? 1 : std::min({keys.size(), processors, MAX_PARALLEL_QUERIES});
    {
        std::vector<std::jthread> threads;
        threads.reserve(workers - 1);
        try {
            for (size_t n = 1; n < workers; ++n) {
                threads.emplace_back(work);
            }
        } catch (const std::system_error&) {
            // No more threads to be had: the ones started and this one do all the work.
        }
        work();
    }
    results.resize(std::min(first_failure.load() + 1, keys.size()));
    return results;
}

} // namespace vorpane::modules

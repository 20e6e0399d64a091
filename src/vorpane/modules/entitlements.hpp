#pragma once

#include "vorpane/config/records.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::modules {

// The account's entitlements that list at least one package, in the service's order; cached
// on disk for 30 seconds. Throws the HTTP client's errors and ValidationError for bad records.
std::vector<config::VorpaneEntitlement> get_user_entitlements();

// get_user_entitlements() without the entitlements whose code begins with "ENT_PKG".
std::vector<config::VorpaneEntitlement> get_all_entitled_modules();

// Parses an entitlement answer body: a JSON array of entitlement objects; elements with no
// packages are dropped. Throws std::runtime_error for a body that is not a JSON array and
// ValidationError for elements that are not valid records.
std::vector<config::VorpaneEntitlement> parse_entitlements(std::string_view body);

// The key/value map of `uv pip show` output (keys lower-cased, split on ": " into exactly two
// parts, later lines win); std::nullopt when the output splits into fewer than 3 lines.
std::optional<std::map<std::string, std::string>> parse_pip_show(std::string_view output);

// The version installed in the target environment, from one `uv pip show` run; std::nullopt
// when uv reports the package as not installed.
std::optional<std::string> _package_installed_version(const std::string& package_key);

// A new list holding "0.0.0".
std::vector<std::string> _get_available_versions(const std::string& package_key);

// The package record for `key`, installed version queried first.
config::VorpanePackage _package_key_to_package(const std::string& key, bool check_versions = false);

// `package.key` in red (not installed), yellow (needs an update) or green.
std::string _package_to_styled_key(const config::VorpanePackage& package);

// Prints the legend and the module table of `vorpane modules`.
void show_all_entitled_modules();

} // namespace vorpane::modules

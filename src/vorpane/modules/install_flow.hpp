#pragma once

#include "vorpane/config/records.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace vorpane::modules {

struct Resolution {
    std::vector<std::string> module_codes;
    std::vector<std::string> package_names;
    std::vector<std::string> error_names;
};

// Upper case, "-" and " " to "_", "ENT_" prefixed when missing.
std::string _normalize_name_for_module(const std::string& name);

// The display title of a module code: "ENT_FOO_BAR_APP" -> "Foo Bar App", "ENT_FOO_FREE" -> "Foo ".
std::string _module_code_to_name(const std::string& code);

// The code of the first module whose code equals the normalised name.
std::optional<std::string>
str_to_module(const std::string& name, const std::vector<config::VorpaneEntitlement>& entitlements);

// `name` when some entitlement lists it as a package (exact comparison).
std::optional<std::string>
str_to_package(const std::string& name,
               const std::vector<config::VorpaneEntitlement>& entitlements);

// Splits names into module codes, module package names and unknown names, order and duplicates
// kept.
Resolution install_names_to_modules_and_packages(
    const std::vector<std::string>& names,
    const std::vector<config::VorpaneEntitlement>& entitled_modules);

// The packages of the given modules, in module order then listed order.
std::vector<std::string> list_of_module_codes_to_list_of_package_names(
    const std::vector<std::string>& module_codes,
    const std::vector<config::VorpaneEntitlement>& entitled_modules);

// The names of a requirements file: comment lines and empty lines dropped, the part before the
// first "#" of each other line, trimmed. Throws std::system_error naming the file when it cannot
// be read, and VorpaneException "Unsupported line in requirements file <file>: '<line>' ..."
// (masked and escaped) for a line that begins with "-" (an option such as "-r" or
// "--index-url", which uv must never see).
std::vector<std::string> read_requirements_names(const std::filesystem::path& file);

// "['a', 'b']"; "[]" when empty. Items are escaped for the terminal.
std::string list_notation(const std::vector<std::string>& items);

// The `install` command's flow: resolve, show the plan, dry run, confirm, MKL, install.
// Throws what engine::check_package_names throws before any output, Aborted when the question
// meets end of input; uv and network failures propagate.
void install_modules(
    std::vector<std::string> names,
    bool yes = false,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files = std::nullopt);

} // namespace vorpane::modules

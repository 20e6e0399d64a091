#pragma once

#include "vorpane/engine/install.hpp"
#include "vorpane/modules/context.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/records/records.hpp"

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
std::string normalize_name_for_module(const std::string& name);

// The display title of a module code: "ENT_FOO_BAR_APP" -> "Foo Bar App", "ENT_FOO_FREE" -> "Foo ".
std::string module_code_to_name(const std::string& code);

// The code of the first module whose code equals the normalised name.
std::optional<std::string>
str_to_module(const std::string& name,
              const std::vector<records::VorpaneEntitlement>& entitlements);

// `name` when some entitlement lists it as a package (exact comparison).
std::optional<std::string>
str_to_package(const std::string& name,
               const std::vector<records::VorpaneEntitlement>& entitlements);

// Splits names into module codes, module package names and unknown names, order and duplicates
// kept.
Resolution install_names_to_modules_and_packages(
    const std::vector<std::string>& names,
    const std::vector<records::VorpaneEntitlement>& entitled_modules);

// The packages of the given modules, in module order then listed order.
std::vector<std::string>
packages_of_modules(const std::vector<std::string>& module_codes,
                    const std::vector<records::VorpaneEntitlement>& entitled_modules);

// The names of a requirements file: comment lines and empty lines dropped, the part before the
// first "#" of each other line, trimmed. Throws std::system_error naming the file when it cannot
// be read, and core::VorpaneException "Unsupported line in requirements file <file>: '<line>' ..."
// (masked and escaped) for a line that begins with "-" (an option such as "-r" or
// "--index-url", which uv must never see).
std::vector<std::string> read_requirements_names(const std::filesystem::path& file);

// "['a', 'b']"; "[]" when empty. Items are escaped for the terminal.
std::string list_notation(const std::vector<std::string>& items);

// `names` trimmed. Throws what engine::check_package_names throws for a name that uv would read
// as an option.
std::vector<std::string> prepare_install_names(std::vector<std::string> names);

// What `install` is going to do.
struct InstallPlan {
    // The display titles of the modules named.
    std::vector<std::string> module_titles;
    // The named packages of the account's modules, then every name that is neither.
    std::vector<std::string> other_names;
    // The packages of the named modules, then other_names, without repeats, first seen first.
    std::vector<std::string> packages;
    // "mkl" was among the names.
    bool want_mkl = false;
    // What the service calls warned about.
    Warnings warnings;
};

// Resolves prepared names against the account's modules; with `all`, every module of the account
// is named too, after the given names. Throws what the service calls throw.
InstallPlan plan_install(Context& ctx, std::vector<std::string> names, bool all = false);

// The engine's view of the run.
engine::Runtime runtime(Context& ctx);

// Asks the service for the private package index on each call.
engine::IndexLocator index_locator(Context& ctx);

// One "uv pip install" of the plan's packages from the private index, as a dry run when asked;
// false, with nothing run, when the plan holds no packages. Throws what engine::install_modules
// throws.
bool install_packages(Context& ctx, const InstallPlan& plan, bool dry_run);

} // namespace vorpane::modules

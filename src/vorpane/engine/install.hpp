#pragma once

#include "vorpane/engine/netrc.hpp"
#include "vorpane/engine/runner.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorpane::engine {

// Asks the service for the private package index and returns its address; throws what the
// request throws.
using IndexLocator = std::function<std::string()>;

// "pip", "install", every package, then the pair "--upgrade-package", name for each package.
std::vector<std::string> install_arguments(const std::vector<std::string>& packages);

// An install command line and the index it names, credentials included: those travel to uv in
// a netrc file, never in its arguments, where every local user could read them.
struct InstallCommand {
    std::vector<std::string> args;
    IndexAddress index;
};

// Throws core::VorpaneException "Invalid package name '<name>': names must not start with "-"."
// (the name escaped for the terminal) for the first such name: uv would take it for an option.
void check_package_names(const std::vector<std::string>& names);

// install_arguments(packages) followed by "--index-url" and the address
// `locate_index` returns (called once) without its user and password. Throws
// std::invalid_argument when `locate_index` is empty, what check_package_names throws (before
// asking for the index), and what `locate_index` throws.
InstallCommand get_uv_pip_install_cmd(const std::vector<std::string>& packages,
                                      const IndexLocator& locate_index);

// Installs `names` into the target environment with one "uv pip install" from the private
// index, upgrading each named package, with "--dry-run" when asked, uv writing to the terminal.
// Index credentials reach uv through a PrivateNetrc named by NETRC, removed when uv has ended.
// Returns false, having neither asked for the index nor run uv, when there are no names. Throws
// what get_uv_pip_install_cmd, PrivateNetrc and run_uv_in_python throw (core::VorpaneUVException on
// a failed run, an index refusing the credentials included: there is no fallback index).
bool install_modules(Runtime& rt,
                     const std::vector<std::string>& names,
                     bool dry_run,
                     const IndexLocator& locate_index);

} // namespace vorpane::engine

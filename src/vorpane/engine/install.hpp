#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorpane::engine {

// Asks the service for the private package index and returns its address; throws what the
// request throws.
using IndexLocator = std::function<std::string()>;

// "pip", "install", then (when `packages` is given) every package, then with `upgrade` the pair
// "--upgrade-package", name for each package.
std::vector<std::string> _generate_default_install_args(
    bool upgrade, const std::optional<std::vector<std::string>>& packages = std::nullopt);

// _generate_default_install_args(upgrade, packages) followed by "--index-url" and the address
// `locate_index` returns (called once). Throws std::invalid_argument when `locate_index` is
// empty, and what it throws.
std::vector<std::string> get_uv_pip_install_cmd(bool upgrade,
                                                const std::vector<std::string>& packages,
                                                const IndexLocator& locate_index);

// Installs `names` into the target environment with one "uv pip install" from the private
// index, with "--dry-run" and "-r <file>" for each requirements file when asked, uv writing to
// the terminal. With no names it only says "Nothing to install. Call with --help for more
// information." and neither asks for the index nor runs uv. Throws what
// get_uv_pip_install_cmd and run_uv_in_python throw (VorpaneUVException on a failed run).
void install_modules(
    const std::vector<std::string>& names,
    bool upgrade,
    bool dry_run = false,
    const std::optional<std::vector<std::filesystem::path>>& requirements_files = std::nullopt,
    const IndexLocator& locate_index = {});

} // namespace vorpane::engine

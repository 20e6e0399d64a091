#include "vorpane/engine/install.hpp"

#include "vorpane/cli/messages.hpp"
#include "vorpane/engine/uv.hpp"

#include <stdexcept>

namespace vorpane::engine {

std::vector<std::string>
_generate_default_install_args(bool upgrade,
                               const std::optional<std::vector<std::string>>& packages) {
    std::vector<std::string> args = {"pip", "install"};
    if (!packages) {
        return args;
    }
    args.insert(args.end(), packages->begin(), packages->end());
    if (upgrade) {
        // Per-package upgrades leave the dependencies of the named packages as they are.
        for (const auto& package : *packages) {
            args.emplace_back("--upgrade-package");
            args.push_back(package);
        }
    }
    return args;
}

std::vector<std::string> get_uv_pip_install_cmd(bool upgrade,
                                                const std::vector<std::string>& packages,
                                                const IndexLocator& locate_index) {
    if (!locate_index) {
        throw std::invalid_argument("get_uv_pip_install_cmd: no package index locator given");
    }
    std::string index = locate_index();
    auto args = _generate_default_install_args(upgrade, packages);
    args.emplace_back("--index-url");
    args.push_back(std::move(index));
    return args;
}

void install_modules(const std::vector<std::string>& names,
                     bool upgrade,
                     bool dry_run,
                     const std::optional<std::vector<std::filesystem::path>>& requirements_files,
                     const IndexLocator& locate_index) {
    if (names.empty()) {
        send_message("Nothing to install. Call with --help for more information.");
        return;
    }
    auto args = get_uv_pip_install_cmd(upgrade, names, locate_index);
    if (dry_run) {
        args.emplace_back("--dry-run");
    }
    if (requirements_files) {
        for (const auto& file : *requirements_files) {
            args.emplace_back("-r");
            args.push_back(file.string());
        }
    }
    run_uv_in_python(args, false);
}

} // namespace vorpane::engine

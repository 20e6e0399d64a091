#include "vorpane/engine/install.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/util/redact.hpp"

#include <map>
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

void check_package_names(const std::vector<std::string>& names) {
    for (const auto& name : names) {
        if (name.starts_with('-')) {
            throw core::VorpaneException("Invalid package name '" + util::escape_control(name) +
                                         "': names must not start with \"-\".");
        }
    }
}

InstallCommand get_uv_pip_install_cmd(bool upgrade,
                                      const std::vector<std::string>& packages,
                                      const IndexLocator& locate_index) {
    if (!locate_index) {
        throw std::invalid_argument("get_uv_pip_install_cmd: no package index locator given");
    }
    check_package_names(packages);
    InstallCommand command{_generate_default_install_args(upgrade, packages),
                           split_index_address(locate_index())};
    command.args.emplace_back("--index-url");
    command.args.push_back(command.index.url);
    return command;
}

bool install_modules(Runtime& rt,
                     const std::vector<std::string>& names,
                     bool upgrade,
                     bool dry_run,
                     const std::optional<std::vector<std::filesystem::path>>& requirements_files,
                     const IndexLocator& locate_index) {
    if (names.empty()) {
        return false;
    }
    auto [args, index] = get_uv_pip_install_cmd(upgrade, names, locate_index);
    if (dry_run) {
        args.emplace_back("--dry-run");
    }
    if (requirements_files) {
        for (const auto& file : *requirements_files) {
            args.emplace_back("-r");
            // "./-x" keeps a file called "-x" from reading as an option.
            args.push_back(file.string().starts_with('-') ? "./" + file.string() : file.string());
        }
    }
    std::optional<PrivateNetrc> netrc;
    std::map<std::string, std::string> extra_env;
    if (index.login) {
        netrc.emplace(index);
        extra_env["NETRC"] = netrc->path().string();
    }
    run_uv_in_python(rt, args, false, extra_env);
    return true;
}

} // namespace vorpane::engine

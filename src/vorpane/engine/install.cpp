#include "vorpane/engine/install.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/util/redact.hpp"

#include <map>
#include <stdexcept>

namespace vorpane::engine {

std::vector<std::string> install_arguments(const std::vector<std::string>& packages) {
    std::vector<std::string> args = {"pip", "install"};
    args.insert(args.end(), packages.begin(), packages.end());
    // Per-package upgrades leave the dependencies of the named packages as they are.
    for (const auto& package : packages) {
        args.emplace_back("--upgrade-package");
        args.push_back(package);
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

InstallCommand get_uv_pip_install_cmd(const std::vector<std::string>& packages,
                                      const IndexLocator& locate_index) {
    if (!locate_index) {
        throw std::invalid_argument("get_uv_pip_install_cmd: no package index locator given");
    }
    check_package_names(packages);
    InstallCommand command{install_arguments(packages), split_index_address(locate_index())};
    command.args.emplace_back("--index-url");
    command.args.push_back(command.index.url);
    return command;
}

bool install_modules(Runtime& rt,
                     const std::vector<std::string>& names,
                     bool dry_run,
                     const IndexLocator& locate_index) {
    if (names.empty()) {
        return false;
    }
    auto [args, index] = get_uv_pip_install_cmd(names, locate_index);
    if (dry_run) {
        args.emplace_back("--dry-run");
    }
    if (rt.offline) {
        args.emplace_back("--offline");
    }
    std::optional<PrivateNetrc> netrc;
    std::map<std::string, std::string> extra_env;
    if (index.login) {
        netrc.emplace(index, rt.target.variable("TMPDIR").value_or(""));
        extra_env["NETRC"] = netrc->path().string();
    }
    run_uv_in_python(rt, args, false, extra_env);
    return true;
}

} // namespace vorpane::engine

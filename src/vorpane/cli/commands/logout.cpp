#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/redact.hpp"

#include <CLI/CLI.hpp>

namespace vorpane::cli::commands {

namespace fs = std::filesystem;

CLI::App* add_logout(CLI::App& app, LogoutOptions& /*options*/) {
    CLI::App* logout = app.add_subcommand(
        "logout", "Remove the stored profile and every cached service answer. Backups stay.");
    logout->set_help_flag();
    return logout;
}

void run_logout(modules::Context& ctx, const LogoutOptions& /*options*/) {
    core::Output& out = ctx.out;
    const fs::path dir =
        config::resolve_app_dirs(config::current_platform(), config::process_env()).config_dir;
    bool had_profile = false;
    try {
        (void)config::get_configparser();
        had_profile = true;
    } catch (const std::exception&) {
        // No valid profile: whatever the file holds is removed without being called one.
    }
    std::error_code ec;
    const fs::path file = dir / config::CONFIG_FILE_NAME;
    const fs::path cache = dir / config::CACHE_FILE_NAME;
    const bool had_cache = fs::exists(fs::symlink_status(cache, ec));
    fs::remove(file, ec);
    if (ec) {
        throw core::VorpaneException("cannot remove " + util::escape_control(file.string()) + ": " +
                                     ec.message());
    }
    config::drop_result_cache(dir);
    if (had_profile) {
        out.info("Removed the stored profile (" + util::escape_control(file.string()) + ").");
    }
    if (had_cache) {
        out.info("Removed the cached service answers (" + util::escape_control(cache.string()) +
                 ").");
    }
    if (!had_profile && !had_cache) {
        out.info("Nothing to remove: no stored profile and no cached answers.");
    }
}

} // namespace vorpane::cli::commands

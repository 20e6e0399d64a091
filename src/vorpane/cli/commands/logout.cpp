#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/credentials.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

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
    // Checks that the directory is the user's own before anything in it is touched.
    const fs::path dir = ctx.config_dir();
    const std::string file = util::escape_control((dir / config::CONFIG_FILE_NAME).string());
    const fs::path cache = dir / config::CACHE_FILE_NAME;
    using Kind = config::RemovedConfig::Kind;
    // Where the secret is kept, read before the file goes; an unusable file names no store.
    std::optional<records::VorpaneProfile> stored;
    // What the file held, from the run's one reading of it.
    const config::RemovedConfig found = config::remove_config_file(dir, [&]() {
        try {
            stored = ctx.stored_config().profile;
            return config::RemovedConfig{Kind::profile, {}};
        } catch (const config::UnsafeStateError&) {
            throw;
        } catch (const core::ValidationError& e) {
            std::error_code ec;
            if (fs::file_size(dir / config::CONFIG_FILE_NAME, ec) == 0 && !ec) {
                return config::RemovedConfig{};
            }
            return config::RemovedConfig{
                Kind::invalid,
                "no valid profile" + (e.errors().empty() ? "" : " (" + e.errors().front() + ")")};
        } catch (const std::exception& e) {
            const std::string reason = e.what();
            return config::RemovedConfig{Kind::invalid, std::string(util::first_line(reason))};
        }
    });
    std::error_code ec;
    const bool had_cache = fs::exists(fs::symlink_status(cache, ec));
    // Deleting files from the user's own directory reads nothing, so a cache of another owner
    // goes too.
    config::drop_result_cache(dir);
    if (found.kind == Kind::profile) {
        out.info("Removed the stored profile (" + file + ").");
    } else if (found.kind == Kind::invalid) {
        out.info("Removed the configuration file " + file +
                 ", which held no usable profile: " + util::escape_control(found.detail) + ".");
    }
    if (had_cache) {
        out.info("Removed the cached service answers (" + util::escape_control(cache.string()) +
                 ").");
    }
    // The keyring entry goes after the file: a helper that fails must not keep the profile.
    std::string store_error;
    if (found.kind == Kind::profile && stored && !stored->credential_store.empty()) {
        try {
            modules::erase_secret(*stored, ctx.environment());
            out.info("Removed the secret from credential store " + stored->credential_store + ".");
        } catch (const core::VorpaneException& e) {
            store_error = e.message();
        }
    }
    if (const auto named =
            config::selected_profile([&ctx](const std::string& name) { return ctx.env(name); });
        named && found.kind != Kind::link && found.kind != Kind::directory) {
        fs::remove_all(dir);
        out.info("Removed profile " + *named + " (" + util::escape_control(dir.string()) + ").");
    }
    if (!store_error.empty()) {
        throw core::VorpaneException(store_error);
    }
    if (found.kind == Kind::link) {
        throw core::VorpaneException(file + " is a symbolic link to " +
                                     util::escape_control(found.detail) +
                                     "; it was neither followed nor removed");
    }
    if (found.kind == Kind::directory) {
        throw core::VorpaneException(file + " is a directory; it was not removed");
    }
    if (found.kind == Kind::nothing && !had_cache) {
        out.info("Nothing to remove: no stored profile and no cached answers.");
    }
}

} // namespace vorpane::cli::commands

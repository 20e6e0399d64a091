#include "vorpane/config/profiles.hpp"

#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/util/redact.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace vorpane::cli::commands {

CLI::App* add_profiles(CLI::App& app, ProfilesOptions& options) {
    CLI::App* profiles = app.add_subcommand(
        "profiles", "List the profiles: the default one, then the named ones; * marks the one in "
                    "effect (--profile NAME or VORPANE_PROFILE).");
    profiles->set_help_flag();
    profiles->add_flag("--json", options.json, "Print the list as one JSON document.");
    return profiles;
}

void run_profiles(modules::Context& ctx, const ProfilesOptions& options) {
    const auto active = config::selected_profile(ctx.lookup());
    const auto found =
        config::list_profiles(config::checked_config_dir(ctx.dirs().config_dir), active);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& profile : found) {
        using Json = nlohmann::ordered_json;
        const records::VorpaneProfile* stored = profile.config ? &profile.config->profile : nullptr;
        Json entry = {{"name", profile.name ? Json(*profile.name) : nullptr},
                      {"token_id", stored ? Json(stored->token_id) : nullptr},
                      {"cloud_environment", stored ? Json(stored->cloud_environment) : nullptr},
                      {"credential_store", !stored ? Json(nullptr)
                                           : stored->credential_store.empty()
                                               ? Json("file")
                                               : Json(stored->credential_store)},
                      {"active", profile.active}};
        if (!profile.error.empty()) {
            entry["error"] = profile.error;
        }
        list.push_back(std::move(entry));
        if (options.json) {
            continue;
        }
        std::string text = "no profile stored";
        if (!profile.error.empty()) {
            text = "error: " + profile.error;
        } else if (stored != nullptr) {
            text =
                "token id " + util::escape_control(stored->token_id) + ", " +
                stored->cloud_environment + ", secret in " +
                (stored->credential_store.empty() ? "the file"
                                                  : "credential store " + stored->credential_store);
        }
        ctx.out.send_message(fmt::format("{} {:<20} {}", profile.active ? "*" : " ",
                                         profile.name ? *profile.name : "(default)", text));
    }
    if (options.json) {
        send_json(ctx.out, {{"schema", 1}, {"profiles", std::move(list)}});
    }
}

} // namespace vorpane::cli::commands

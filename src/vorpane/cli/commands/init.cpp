#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/cli/prompt.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/credentials.hpp"

#include <CLI/CLI.hpp>

#include <string_view>

namespace vorpane::cli::commands {

namespace {

constexpr std::string_view kServiceDomain = VORPANE_SERVICE_DOMAIN;

std::string cloud_address(const std::string& environment) {
    return "https://" + environment + "." + std::string(kServiceDomain);
}

} // namespace

CLI::App* add_init(CLI::App& app, InitOptions& options) {
    CLI::App* init = app.add_subcommand("init", "Initialize Vorpane.");
    init->set_help_flag();
    options.token_id_option = init->add_option("--token-id", options.token_id)->type_name("TEXT");
    options.token_option = init->add_option("--token", options.token)->type_name("TEXT");
    init->add_option("--cloud-environment", options.cloud_environment)
        ->envname("VORPANE_CLOUD_ENVIRONMENT")
        ->type_name("TEXT");
    init->add_option("--credential-store", options.credential_store,
                     "Keep the secret with the helper docker-credential-NAME (a keyring) instead "
                     "of in the configuration file.")
        ->envname("VORPANE_CREDENTIAL_STORE")
        ->type_name("NAME");
    return init;
}

void run_init(modules::Context& ctx, const InitOptions& options) {
    core::Output& out = ctx.out;
    const std::string environment = config::derive_cloud_environment(options.cloud_environment);
    std::optional<std::string> id;
    std::optional<std::string> secret;
    if (options.token_id_option->count() > 0) {
        id = options.token_id;
    }
    if (options.token_option->count() > 0) {
        secret = options.token;
    }
    if (!id && !secret) {
        const std::string address = cloud_address(environment);
        out.send_message("You need a token to continue. Please create an account on " +
                         core::style(address, "blue") + ".\nThen " +
                         core::style("create an Vorpane token", "green") + " on " +
                         core::style(address + "/tokens", "blue") + ".\n");
    }
    if (!id) {
        id = prompt(out, "Enter your token id");
    }
    if (!secret) {
        secret = prompt_secret(out, "Enter your token secret");
    }
    // Nothing is touched before this point, so an abort at a prompt keeps the working profile;
    // replace_config checks the new one before it removes anything.
    records::VorpaneConfig conf{records::VorpaneProfile{*id, *secret, environment},
                                records::VorpaneOptions{}};
    conf.options.advanced_mode = false;
    const std::string& store = options.credential_store;
    if (!store.empty()) {
        // The keyring gets the secret first: when it refuses, the old profile stays as it was.
        config::check_profile_name("credential store", store);
        conf.profile.credential_store = store;
        modules::store_secret(conf.profile, ctx.environment());
        conf.profile.token.clear();
    }
    config::replace_config(conf, ctx.config_dir());
    const auto command = [](std::string_view text) {
        return core::style(text, core::PACKAGE_COLOR);
    };
    out.info("\nVorpane initialized and ready. Next steps:");
    out.info(command("vorpane modules") + " to show available modules.");
    out.info(command("vorpane install <modules>") + " to install modules and python packages.");
    out.info(command("vorpane download-examples") + " to download examples.");
    out.info(command("vorpane install mkl") +
             " to install Math Kernel Library required by some ZEL modules.");
    const auto named = config::selected_profile(ctx.lookup());
    out.info(store.empty() ? "The token secret is kept in the configuration file; " +
                                 command("vorpane init --credential-store NAME") +
                                 " keeps it in a keyring instead."
                           : "The token secret is kept by docker-credential-" + store +
                                 ", not in the configuration file.");
    out.info(named ? "This is profile " + *named + ": select it with " +
                         command("--profile " + *named) + " or VORPANE_PROFILE=" + *named + "."
                   : "This is the default profile; " + command("vorpane --profile NAME init") +
                         " adds another account.");
}

} // namespace vorpane::cli::commands

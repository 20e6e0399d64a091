#include "vorpane/cli/init.hpp"

#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/cli/prompt.hpp"
#include "vorpane/config/config_file.hpp"

#include <string_view>

namespace vorpane::cli {

namespace {

constexpr std::string_view kServiceDomain = VORPANE_SERVICE_DOMAIN;

std::string cloud_address(const std::string& environment) {
    return "https://" + environment + "." + std::string(kServiceDomain);
}

} // namespace

std::string derive_cloud_environment(const std::optional<std::string>& cloud_environment) {
    std::string value =
        cloud_environment && !cloud_environment->empty() ? *cloud_environment : "cloud";
    return value == "dev.cloud" || value == "dev" ? "dev.cloud" : "cloud";
}

config::VorpaneProfile init_user(const std::string& token_id,
                                 const std::string& token,
                                 const std::optional<std::string>& cloud_environment) {
    config::VorpaneProfile profile{token_id, token, derive_cloud_environment(cloud_environment)};
    config::VorpaneConfig conf;
    try {
        conf = config::get_configparser();
        conf.profile = profile;
    } catch (const ValidationError&) {
        conf = config::VorpaneConfig{profile, config::VorpaneOptions{}};
    }
    config::write_config_parse_to_file(conf);
    return conf.profile;
}

void init_vorpane(const std::optional<std::string>& token_id,
                  const std::optional<std::string>& token,
                  const std::string& cloud_environment) {
    if (!token_id && !token) {
        std::string env = derive_cloud_environment(cloud_environment);
        std::string address = cloud_address(env);
        send_message("You need a token to continue. Please create an account on " +
                     style(address, "blue") + ".\nThen " +
                     style("create an Vorpane token", "green") + " on " +
                     style(address + "/tokens", "blue") + ".\n");
    }
    std::optional<std::string> id = token_id;
    std::optional<std::string> secret = token;
    if (!id) {
        id = prompt("Enter your token id");
    }
    if (!secret) {
        secret = prompt("Enter your token secret");
    }
    if (!id || !secret) {
        throw VorpaneException("Token ID and token secret must be provided");
    }
    // Nothing is touched before this point, so an abort at a prompt keeps the working profile;
    // replace_config checks the new one before it removes anything.
    config::VorpaneConfig conf{
        config::VorpaneProfile{*id, *secret, derive_cloud_environment(cloud_environment)},
        config::VorpaneOptions{}};
    conf.options.advanced_mode = false;
    config::replace_config(conf);

    send_message("\nVorpane initialized and ready. Next steps:");
    send_message(style("vorpane modules", PACKAGE_COLOR) + " to show available modules.");
    send_message(style("vorpane install <modules>", PACKAGE_COLOR) +
                 " to install modules and python packages.");
    send_message(style("vorpane download-examples", PACKAGE_COLOR) + " to download examples.");
    send_message(style("vorpane install mkl", PACKAGE_COLOR) +
                 " to install Math Kernel Library required by some ZEL modules.");
}

} // namespace vorpane::cli

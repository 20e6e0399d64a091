#pragma once

#include "vorpane/api/token.hpp"
#include "vorpane/modules/context.hpp"
#include "vorpane/modules/entitlements.hpp"

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
} // namespace CLI

// One file per command: each declares its options into a struct the caller owns, and runs by
// calling into modules/ and rendering what comes back.
namespace vorpane::cli::commands {

struct InitOptions {
    std::string credential_store;
    std::string token_id;
    std::string token;
    std::string cloud_environment = "cloud";
    CLI::Option* token_id_option = nullptr;
    CLI::Option* token_option = nullptr;
};
CLI::App* add_init(CLI::App& app, InitOptions& options);
void run_init(modules::Context& ctx, const InitOptions& options);

struct ModulesOptions {
    bool json = false;
};
CLI::App* add_modules(CLI::App& app, ModulesOptions& options);
// Also the action of the group's --info flag.
void run_modules(modules::Context& ctx, const ModulesOptions& options);

struct InstallOptions {
    std::vector<std::string> names;
    bool yes = false;
    bool all = false;
    std::string requirements;
    CLI::Option* requirements_option = nullptr;
};
CLI::App* add_install(CLI::App& app, InstallOptions& options);
void run_install(modules::Context& ctx, const InstallOptions& options);

struct DownloadExamplesOptions {
    std::string download_dir;
    std::vector<std::string> modules;
    bool list_available = false;
    bool json = false;
    CLI::Option* download_dir_option = nullptr;
};
CLI::App* add_download_examples(CLI::App& app, DownloadExamplesOptions& options);
void run_download_examples(modules::Context& ctx, const DownloadExamplesOptions& options);

struct StatusOptions {
    bool json = false;
};
CLI::App* add_status(CLI::App& app, StatusOptions& options);
// Returns normally when everything needed works; throws core::VorpaneException (status 1) after
// showing the report otherwise.
void run_status(modules::Context& ctx, const StatusOptions& options);

struct ProfilesOptions {
    bool json = false;
};
CLI::App* add_profiles(CLI::App& app, ProfilesOptions& options);
void run_profiles(modules::Context& ctx, const ProfilesOptions& options);

struct LogoutOptions {};
CLI::App* add_logout(CLI::App& app, LogoutOptions& options);
void run_logout(modules::Context& ctx, const LogoutOptions& options);

// The JSON document `doc` on standard output: two-space indentation, invalid UTF-8 replaced.
void send_json(core::Output& out, const nlohmann::ordered_json& doc);

// The one line the user is shown for a token exchange that gave no token: "Authentication
// failed. Status code: N", "HTTP error occurred: ...", "Error reading configuration: ...".
std::string token_failure_text(const api::TokenOutcome& outcome);

// Each warning, one line on standard error, in order.
void send_warnings(core::Output& out, const modules::Warnings& warnings);

} // namespace vorpane::cli::commands

#pragma once

#include "vorpane/modules/context.hpp"

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
    std::string token_id;
    std::string token;
    std::string cloud_environment = "cloud";
    CLI::Option* token_id_option = nullptr;
    CLI::Option* token_option = nullptr;
};
CLI::App* add_init(CLI::App& app, InitOptions& options);
void run_init(modules::Context& ctx, const InitOptions& options);

struct ModulesOptions {};
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
    CLI::Option* download_dir_option = nullptr;
};
CLI::App* add_download_examples(CLI::App& app, DownloadExamplesOptions& options);
void run_download_examples(modules::Context& ctx, const DownloadExamplesOptions& options);

} // namespace vorpane::cli::commands

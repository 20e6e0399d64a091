#include "vorpane/cli/run_cli.hpp"

#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/help_formatter.hpp"
#include "vorpane/cli/init.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/cli/version.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/python.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/modules/install_flow.hpp"
#include "vorpane/util/signals.hpp"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorpane::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* kInstallHelp = R"(Install Vorpane modules and packages.

NAMES are module keys (in any of their written forms: "foo-bar-app", "Foo Bar App",
"FOO_BAR_APP"), package names of your modules, or any other requirement that the
package manager understands. "mkl" provisions the Math Kernel Library runtime.
A dry run shows what would be installed before you are asked to confirm.

Examples:
  vorpane install foo-bar-app
  vorpane install pkg-a pkg-b -y
  vorpane install -r requirements.txt)";

constexpr const char* kDownloadHelp = R"(Download Vorpane examples for your modules.

Provide module names with the command line argument -m or --modules.
The command tries to find matching examples for incomplete names.
If no modules name is provided, all available examples will be downloaded.

--download-dir sets the target directory (default: the examples folder in the
tool's data directory); --list-available only lists what can be downloaded.)";

// Everything the command line sets, owned by run_cli.
struct CommandLine {
    bool info = false;
    std::string init_token_id;
    std::string init_token;
    std::string init_cloud_environment = "cloud";
    std::vector<std::string> install_names;
    bool install_yes = false;
    bool install_all = false;
    std::string install_requirements;
    std::string download_dir;
    std::vector<std::string> download_modules;
    bool download_list = false;
};

struct Commands {
    CLI::App* init = nullptr;
    CLI::Option* token_id = nullptr;
    CLI::Option* token = nullptr;
    CLI::App* modules = nullptr;
    CLI::App* install = nullptr;
    CLI::Option* requirements = nullptr;
    CLI::App* download = nullptr;
    CLI::Option* download_dir = nullptr;
};

std::string program_name(const char* argv0) {
    std::string name = argv0 != nullptr ? fs::path(argv0).filename().string() : "";
    return name.empty() ? "vorpane" : name;
}

Commands build_app(CLI::App& app, CommandLine& cl, const std::string& prog) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag();
    app.set_version_flag("--version", prog + ", version " + std::string(version_info::version),
                         "Show the version and exit.");
    app.add_flag("--info", cl.info, "Display Zelcorp CLI tool information and exit.");
    app.set_help_flag("--help", "Show this message and exit.");
    app.require_subcommand(0, 1);

    Commands c;
    c.init = app.add_subcommand("init", "Initialize Vorpane.");
    c.init->set_help_flag();
    c.token_id = c.init->add_option("--token-id", cl.init_token_id)->type_name("TEXT");
    c.token = c.init->add_option("--token", cl.init_token)->type_name("TEXT");
    c.init->add_option("--cloud-environment", cl.init_cloud_environment)
        ->envname("VORPANE_CLOUD_ENVIRONMENT")
        ->type_name("TEXT");

    c.modules = app.add_subcommand("modules", "Show your available Vorpane modules and packages.");
    c.modules->set_help_flag();

    c.install = app.add_subcommand("install", kInstallHelp);
    c.install->set_help_flag();
    c.install->add_option("names", cl.install_names, "Module keys or package names to install.");
    c.install->add_flag("-y,--yes", cl.install_yes, "Confirm installation without prompting.");
    c.install->add_flag("-a,--all", cl.install_all, "Install all available modules.");
    c.requirements =
        c.install
            ->add_option("-r,--requirements", cl.install_requirements,
                         "Path to a requirements file.")
            ->check(CLI::Validator(
                [](std::string& path) {
                    std::error_code ec;
                    return fs::is_directory(path, ec) ? path + " is a directory" : std::string();
                },
                ""))
            ->type_name("FILE");

    c.download = app.add_subcommand("download-examples", kDownloadHelp);
    c.download->set_help_flag();
    c.download_dir = c.download
                         ->add_option("--download-dir", cl.download_dir,
                                      "The path to the directory to download the examples to.")
                         ->type_name("PATH");
    c.download
        ->add_option("-m,--modules", cl.download_modules,
                     "Download examples for a specific module. Can be used multiple times.")
        ->type_name("MODULE_NAMES")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    c.download->add_flag("--list-available", cl.download_list, "List available examples.");

    for (CLI::App* sub : {c.init, c.modules, c.install, c.download}) {
        sub->set_help_flag("--help", "Show this message and exit.");
        sub->formatter(app.get_formatter());
    }
    return c;
}

void run_command(CLI::App& app, const Commands& c, const CommandLine& cl) {
    if (c.init->parsed()) {
        init_vorpane(c.token_id->count() > 0 ? std::optional(cl.init_token_id) : std::nullopt,
                     c.token->count() > 0 ? std::optional(cl.init_token) : std::nullopt,
                     cl.init_cloud_environment);
    } else if (c.install->parsed()) {
        std::vector<std::string> names = cl.install_names;
        if (c.requirements->count() > 0) {
            auto extra = modules::read_requirements_names(cl.install_requirements);
            names.insert(names.end(), extra.begin(), extra.end());
        }
        modules::install_modules(names, cl.install_yes);
    } else if (c.download->parsed()) {
        if (cl.download_list) {
            std::string text = "Available examples: \n";
            auto names = modules::get_entitled_examples_packages();
            for (size_t i = 0; i < names.size(); ++i) {
                text += (i == 0 ? "" : "\n") + names[i];
            }
            send_message(text);
            return;
        }
        modules::download_examples(
            c.download_dir->count() > 0 ? std::optional<fs::path>(cl.download_dir) : std::nullopt,
            cl.download_modules);
    } else if (c.modules->parsed() || cl.info) {
        // --info only acts when no command is named; a named command was handled above.
        modules::show_all_entitled_modules();
    } else {
        send_message(app.help());
    }
}

// The deepest command the parser reached, for usage lines in error messages.
const CLI::App* active_command(const CLI::App& app) {
    const CLI::App* current = &app;
    for (;;) {
        auto subs = current->get_subcommands();
        if (subs.empty()) {
            return current;
        }
        current = subs.front();
    }
}

void print_usage_error(const CLI::App* app, const std::string& reason) {
    std::string root = command_path(app);
    root = root.substr(0, root.find(' '));
    send_error(usage_line(app));
    send_error("Try '" + command_path(app) + " --help' for help.\n");
    send_error("Error: " + reason);
}

// One line for the user: libraries sometimes put several lines into what().
std::string one_line(std::string text) {
    for (char& ch : text) {
        if (ch == '\n' || ch == '\r') {
            ch = ' ';
        }
    }
    return text;
}

// A record that failed validation: either the stored configuration (the user has not run
// `init`, or edited the file by hand) or an answer of the service.
std::string describe(const ValidationError& e) {
    std::string fields;
    bool configuration = true;
    for (const auto& error : e.errors()) {
        fields += (fields.empty() ? "" : "; ") + error;
        configuration =
            configuration && (error.rfind("profile", 0) == 0 || error.rfind("options", 0) == 0);
    }
    if (configuration) {
        return "the configuration holds no valid user profile (" + fields + "); run 'vorpane init'";
    }
    return "invalid data from the service: " + fields;
}

int run_group(int argc, char** argv) {
    CommandLine cl;
    CLI::App app("The Zelcorp CLI tool for managing ZEL software modules.", program_name(argv[0]));
    Commands commands = build_app(app, cl, app.get_name());
    try {
        app.parse(argc, argv);
        run_command(app, commands, cl);
        return 0;
    } catch (const CLI::CallForHelp&) {
        send_message(active_command(app)->help());
        return 0;
    } catch (const CLI::CallForVersion& e) {
        send_message(e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        print_usage_error(active_command(app), one_line(e.what()));
        return 2;
    } catch (const UsageError& e) {
        print_usage_error(active_command(app), one_line(e.what()));
        return 2;
    } catch (const VorpaneException& e) {
        send_error("Error: " + one_line(e.message()));
        return 1;
    }
}

} // namespace

void check_python_version_supported() {
    engine::PythonInterpreter interpreter(config::process_env());
    auto [major, minor] = interpreter.version();
    const auto& supported = config::SUPPORTED_PYTHON_VERSIONS;
    for (const auto& pair : supported) {
        if (pair == std::pair{major, minor}) {
            return;
        }
    }
    auto pair_text = [](int a, int b) {
        return "(" + std::to_string(a) + ", " + std::to_string(b) + ")";
    };
    std::string list;
    for (const auto& [a, b] : supported) {
        list += (list.empty() ? "" : ", ") + pair_text(a, b);
    }
    throw VorpaneException("Python version " + pair_text(major, minor) +
                           " is not supported. Supported versions are: [" + list + "].");
}

int run_cli(int argc, char** argv) {
    util::install_signal_handlers();
    try {
        try {
            check_python_version_supported();
        } catch (const VorpaneException& e) {
            send_error(e.message());
            return 1;
        }
        bool needs_init = false;
        try {
            (void)config::get_configparser();
        } catch (const ValidationError&) {
            needs_init = true;
        }
        if (needs_init) {
            send_message("No user profile found in the config.");
            send_message("Please run " + style("vorpane init", "yellow") + ".\n");
        }
        return run_group(argc, argv);
    } catch (const Aborted&) {
        send_error("Aborted!");
        return 1;
    } catch (const BrokenPipe&) {
        return 1;
    } catch (const ValidationError& e) {
        send_error(program_name(argv[0]) + ": " + describe(e));
        return 1;
    } catch (const std::exception& e) {
        try {
            send_error(program_name(argv[0]) + ": " + one_line(e.what()));
        } catch (...) {
        }
        return 1;
    } catch (...) {
        return 1;
    }
}

} // namespace vorpane::cli

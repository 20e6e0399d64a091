#include "vorpane/cli/run_cli.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/cli/help_formatter.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/core/signals.hpp"
#include "vorpane/core/version.hpp"
#include "vorpane/modules/context.hpp"
#include "vorpane/util/signals.hpp"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace vorpane::cli {

namespace {

namespace fs = std::filesystem;

// Everything the command line sets, owned by run_group.
struct CommandLine {
    bool info = false;
    commands::InitOptions init;
    commands::ModulesOptions modules;
    commands::InstallOptions install;
    commands::DownloadExamplesOptions download;
};

struct Commands {
    CLI::App* init = nullptr;
    CLI::App* modules = nullptr;
    CLI::App* install = nullptr;
    CLI::App* download = nullptr;
};

std::string program_name(const char* argv0) {
    std::string name = argv0 != nullptr ? fs::path(argv0).filename().string() : "";
    return name.empty() ? "vorpane" : name;
}

Commands build_app(CLI::App& app, CommandLine& cl, const std::string& prog) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag();
    app.set_version_flag("--version",
                         prog + ", version " + std::string(core::version_info::version),
                         "Show the version and exit.");
    app.add_flag("--info", cl.info, "Display Zelcorp CLI tool information and exit.");
    app.set_help_flag("--help", "Show this message and exit.");
    app.require_subcommand(0, 1);

    Commands c;
    c.init = commands::add_init(app, cl.init);
    c.modules = commands::add_modules(app, cl.modules);
    c.install = commands::add_install(app, cl.install);
    c.download = commands::add_download_examples(app, cl.download);
    for (CLI::App* sub : {c.init, c.modules, c.install, c.download}) {
        sub->set_help_flag("--help", "Show this message and exit.");
        sub->formatter(app.get_formatter());
    }
    return c;
}

void run_command(modules::Context& ctx, CLI::App& app, const Commands& c, const CommandLine& cl) {
    if (c.init->parsed()) {
        commands::run_init(ctx, cl.init);
    } else if (c.install->parsed()) {
        commands::run_install(ctx, cl.install);
    } else if (c.download->parsed()) {
        commands::run_download_examples(ctx, cl.download);
    } else if (c.modules->parsed() || cl.info) {
        // --info only acts when no command is named; a named command was handled above.
        commands::run_modules(ctx, cl.modules);
    } else {
        ctx.out.send_message(app.help());
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

void print_usage_error(core::Output& out, const CLI::App* app, const std::string& reason) {
    out.send_error(usage_line(app));
    out.send_error("Try '" + command_path(app) + " --help' for help.\n");
    out.send_error("Error: " + reason);
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
std::string describe(const core::ValidationError& e) {
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

int run_group(modules::Context& ctx, int argc, char** argv) {
    core::Output& out = ctx.out;
    CommandLine cl;
    CLI::App app("The Zelcorp CLI tool for managing ZEL software modules.", program_name(argv[0]));
    Commands commands = build_app(app, cl, app.get_name());
    try {
        app.parse(argc, argv);
        run_command(ctx, app, commands, cl);
        return 0;
    } catch (const CLI::CallForHelp&) {
        out.send_message(active_command(app)->help());
        return 0;
    } catch (const CLI::CallForVersion& e) {
        out.send_message(e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        print_usage_error(out, active_command(app), one_line(e.what()));
        return 2;
    } catch (const api::NoAccessToken& e) {
        // The token exchange's own line on standard output comes first, as it always has.
        if (!e.failure().empty()) {
            out.send_message(e.failure());
        }
        out.send_error("Error: " + one_line(e.message()));
        return 1;
    } catch (const core::VorpaneException& e) {
        out.send_error("Error: " + one_line(e.message()));
        return 1;
    }
}

int run(modules::Context& ctx, int argc, char** argv) {
    core::Output& out = ctx.out;
    try {
        try {
            check_python_version_supported(ctx);
        } catch (const core::VorpaneException& e) {
            out.send_error(e.message());
            return 1;
        }
        bool needs_init = false;
        try {
            (void)ctx.config();
        } catch (const core::ValidationError&) {
            needs_init = true;
        }
        if (needs_init) {
            out.notice("No user profile found in the config.");
            out.notice("Please run " + core::style("vorpane init", "yellow") + ".\n");
        }
        return run_group(ctx, argc, argv);
    } catch (const core::Aborted&) {
        out.send_error("Aborted!");
        return 1;
    } catch (const util::Interrupted&) {
        out.send_error("Aborted!");
        return 1;
    } catch (const core::BrokenPipe&) {
        return 1;
    } catch (const core::ValidationError& e) {
        out.send_error(program_name(argv[0]) + ": " + describe(e));
        return 1;
    } catch (const std::exception& e) {
        try {
            out.send_error(program_name(argv[0]) + ": " + one_line(e.what()));
        } catch (...) {
        }
        return 1;
    } catch (...) {
        return 1;
    }
}

} // namespace

void check_python_version_supported(modules::Context& ctx) {
    auto [major, minor] = ctx.target().python_version();
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
    throw core::VorpaneException("Python version " + pair_text(major, minor) +
                                 " is not supported. Supported versions are: [" + list + "].");
}

int run_cli(int argc, char** argv) {
    core::install_signal_handlers();
    try {
        core::Output out;
        core::SystemClock clock;
        util::CurlHttpClient http{std::string(core::version_info::user_agent)};
        engine::SystemProcessRunner runner(out, clock);
        modules::Context ctx(out, clock, http, runner);
        return run(ctx, argc, argv);
    } catch (...) {
        return 1;
    }
}

} // namespace vorpane::cli

#include "vorpane/cli/run_cli.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/cli/help_formatter.hpp"
#include "vorpane/config/config_file.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/config/profiles.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/core/signals.hpp"
#include "vorpane/core/version.hpp"
#include "vorpane/engine/python.hpp"
#include "vorpane/modules/context.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/signals.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vorpane::cli {

namespace {

namespace fs = std::filesystem;

// Everything the command line sets, owned by run_group.
struct CommandLine {
    bool info = false;
    bool quiet = false;
    bool verbose = false;
    bool offline = false;
    std::optional<std::string> profile;
    commands::StatusOptions status;
    commands::ProfilesOptions profiles;
    commands::LogoutOptions logout;
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
    CLI::App* status = nullptr;
    CLI::App* logout = nullptr;
    CLI::App* profiles = nullptr;
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
    auto* quiet =
        app.add_flag("-q,--quiet", cl.quiet, "Show only the data asked for, warnings and errors.");
    app.add_flag("-v,--verbose", cl.verbose,
                 "Also show each request and each program run, on standard error.")
        ->excludes(quiet);
    app.add_option("--profile", cl.profile,
                   "Use the named profile (also VORPANE_PROFILE) instead of the default one.")
        ->type_name("NAME");
    app.add_flag("--offline", cl.offline,
                 "Open no network connection (also VORPANE_OFFLINE=1): use the stored answers "
                 "whatever their age.");
    app.require_subcommand(0, 1);

    Commands c;
    c.init = commands::add_init(app, cl.init);
    c.modules = commands::add_modules(app, cl.modules);
    c.install = commands::add_install(app, cl.install);
    c.download = commands::add_download_examples(app, cl.download);
    c.status = commands::add_status(app, cl.status);
    c.logout = commands::add_logout(app, cl.logout);
    c.profiles = commands::add_profiles(app, cl.profiles);
    for (CLI::App* sub :
         {c.init, c.modules, c.install, c.download, c.status, c.logout, c.profiles}) {
        sub->set_help_flag("--help", "Show this message and exit.");
        sub->formatter(app.get_formatter());
        // -q, -v, --profile and --offline are accepted after the command name too.
        sub->fallthrough();
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
    } else if (c.status->parsed()) {
        commands::run_status(ctx, cl.status);
    } else if (c.logout->parsed()) {
        commands::run_logout(ctx, cl.logout);
    } else if (c.profiles->parsed()) {
        commands::run_profiles(ctx, cl.profiles);
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
    for (const auto& error : e.errors()) {
        fields += (fields.empty() ? "" : "; ") + error;
    }
    if (dynamic_cast<const config::InvalidConfigError*>(&e) != nullptr) {
        return "the configuration holds no valid user profile (" + fields + "); run 'vorpane init'";
    }
    return "invalid data from the service: " + fields;
}

// Whether the command asked for its JSON form.
bool wants_json(const Commands& c, const CommandLine& cl) {
    return (c.modules->parsed() && cl.modules.json) || (c.download->parsed() && cl.download.json) ||
           (c.status->parsed() && cl.status.json) || (c.profiles->parsed() && cl.profiles.json);
}

// The whole run: the command line is read first so that the output mode is known, then the
// version gate (for the commands that need Python), the profile notice, then what the command
// line asked for. Help, version and usage
// errors still come after the notice, as they always have.
int run_group(modules::Context& ctx, int argc, char** argv) {
    core::Output& out = ctx.out;
    CommandLine cl;
    CLI::App app("The Zelcorp CLI tool for managing ZEL software modules.", program_name(argv[0]));
    Commands commands = build_app(app, cl, app.get_name());
    std::function<int()> early;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        early = [&] {
            out.send_message(active_command(app)->help());
            return 0;
        };
    } catch (const CLI::CallForVersion& e) {
        early = [&, text = std::string(e.what())] {
            out.send_message(text);
            return 0;
        };
    } catch (const CLI::ParseError& e) {
        early = [&, reason = one_line(e.what())] {
            print_usage_error(out, active_command(app), reason);
            return 2;
        };
    }
    if (!early) {
        out.configure(cl.quiet     ? core::Verbosity::quiet
                      : cl.verbose ? core::Verbosity::verbose
                                   : core::Verbosity::normal,
                      wants_json(commands, cl));
    }
    // --profile reaches every part of the run the way VORPANE_PROFILE does, so it wins over it.
    if (!early && cl.profile) {
        try {
            config::check_profile_name("profile", *cl.profile);
        } catch (const core::VorpaneException& e) {
            out.send_error("Error: " + e.message());
            return 1;
        }
        ctx.select_profile(*cl.profile);
    }
    if (!early) {
        // In verbose mode one line per answer an offline run takes from the cache.
        ctx.on_stored_answer = [&ctx](std::string_view what, double stored_at) {
            ctx.out.detail("offline: the " + std::string(what) + " from the cache, stored " +
                           modules::describe_age(ctx.clock.now() - stored_at) + " ago");
        };
        try {
            ctx.resolve_offline(cl.offline);
        } catch (const core::VorpaneException& e) {
            out.send_error("Error: " + e.message());
            return 1;
        }
    }
    // Only the commands that work in the environment need a supported Python; the others run
    // even where none can be found.
    if (!early && (commands.modules->parsed() || commands.install->parsed() ||
                   (cl.info && app.get_subcommands().empty()))) {
        try {
            check_python_version_supported(ctx);
        } catch (const core::VorpaneException& e) {
            out.send_error(e.message());
            return 1;
        }
    }
    // The profile listing reports broken profiles instead of stopping at them, as status does.
    const bool reports = commands.status->parsed() || commands.profiles->parsed();
    try {
        bool needs_init = false;
        try {
            (void)ctx.config();
        } catch (const core::ValidationError&) {
            needs_init = true;
        } catch (const config::UnsafeStateError&) {
            // Nothing of another user's is read or written; only status goes on, to report it.
            if (early || !reports) {
                throw;
            }
        } catch (const core::VorpaneException&) {
            // Half-set credentials in the environment: every command that would use them stops
            // here; status reports it, and init and logout do not need them.
            if (!early && !reports && !commands.init->parsed() && !commands.logout->parsed()) {
                throw;
            }
        } catch (const std::exception&) {
            // A configuration file that cannot be used: status reports it and logout removes
            // it; every other command ends with its error.
            if (early || !(reports || commands.logout->parsed())) {
                throw;
            }
        }
        if (needs_init) {
            const auto named = config::selected_profile(ctx.lookup());
            const std::string option = named ? " --profile " + *named : "";
            out.notice("No user profile found in the config" +
                       (named ? " for profile " + *named : std::string()) + ".");
            out.notice("Please run " + core::style("vorpane init" + option, "yellow") + ".\n");
        }
        if (early) {
            return early();
        }
        run_command(ctx, app, commands, cl);
        return 0;
    } catch (const api::NoAccessToken& e) {
        // The token exchange's own line on standard output comes first, as it always has.
        if (e.outcome()) {
            out.notice(commands::token_failure_text(*e.outcome()));
        }
        out.send_error("Error: " + one_line(e.message()));
        return 1;
    } catch (const core::VorpaneException& e) {
        out.send_error("Error: " + one_line(e.message()));
        return 1;
    }
}

// The HTTP client's retries: as many as `retries` says (asked by each request, so that a bad
// setting fails the first one), with the waits on the run's clock.
net::RetryPolicy
retry_policy(core::Clock& clock, core::Output& out, std::function<unsigned()> retries) {
    net::RetryPolicy policy;
    // In verbose mode one line per attempt: never a secret (the URL comes masked).
    policy.on_attempt = [&out](const net::HttpAttempt& a) {
        std::string line =
            a.method + " " + a.url + " -> " +
            (a.status != 0 ? std::to_string(a.status) : "no answer (" + a.error + ")") + ", " +
            std::to_string(a.bytes) + " bytes, " + std::to_string(a.elapsed.count()) + " ms";
        if (a.number > 1) {
            line += ", attempt " + std::to_string(a.number);
        }
        if (a.will_retry) {
            line += "; retrying";
        }
        out.detail(line);
    };
    policy.retries = std::move(retries);
    policy.sleep = [&clock](std::chrono::milliseconds wait) { clock.sleep_for(wait); };
    return policy;
}

int run(modules::Context& ctx, int argc, char** argv) {
    core::Output& out = ctx.out;
    try {
        const int status = run_group(ctx, argc, argv);
        out.finish();
        return status;
    } catch (const core::OutputError& e) {
        out.send_error(std::string("Error: ") + e.what());
        return 1;
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
    const auto& supported = engine::SUPPORTED_PYTHON_VERSIONS;
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

int run_cli(int argc, char** argv, config::Environment environment) {
    core::install_signal_handlers();
    try {
        core::Output out(core::TerminalInfo::detect(config::lookup_in(environment)));
        core::SystemClock clock;
        // The client is made before the context that owns the setting; it asks only once a
        // request goes out, when the context exists.
        const modules::Context* owner = nullptr;
        net::CurlHttpClient http{
            std::string(core::version_info::user_agent),
            retry_policy(clock, out, [&owner] { return owner->http_retries(); }),
            net::TlsTrust::from(config::lookup_in(environment))};
        engine::SystemProcessRunner runner(clock, [&out](const engine::ChildRun& child) {
            // In verbose mode one line per child: credentials in URLs masked.
            if (!out.verbose()) {
                return;
            }
            std::string args;
            for (const auto& arg : child.argv) {
                args += (args.empty() ? "" : " ") + arg;
            }
            out.detail(fmt::format("run {} -> exit status {} ({} ms)",
                                   util::escape_control(util::mask_url_password(args)),
                                   child.returncode, child.elapsed.count()));
        });
        modules::Context ctx(out, clock, http, runner, std::move(environment));
        owner = &ctx;
        return run(ctx, argc, argv);
    } catch (...) {
        return 1;
    }
}

} // namespace vorpane::cli

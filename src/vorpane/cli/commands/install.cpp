#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/cli/prompt.hpp"
#include "vorpane/modules/install_flow.hpp"
#include "vorpane/modules/mkl.hpp"

#include <CLI/CLI.hpp>

namespace vorpane::cli::commands {

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

std::string bold(const std::string& text) {
    return core::style(text, std::nullopt, true);
}

void install_or_say_nothing(modules::Context& ctx, const modules::InstallPlan& plan, bool dry_run) {
    if (!modules::install_packages(ctx, plan, dry_run)) {
        ctx.out.send_message("Nothing to install. Call with --help for more information.");
    }
}

// MKL in the target environment, installed when missing, and its runtime linked.
void ensure_mkl(modules::Context& ctx) {
    core::Output& out = ctx.out;
    const modules::MklPresence mkl = modules::find_mkl(ctx);
    if (!mkl.present) {
        out.info("MKL library not found. Installing " + core::style("MKL", "green") + " via pip.");
        out.info("Installing " + core::style("MKL", "green") + " via pip.");
        modules::install_mkl(ctx);
    } else {
        out.info("MKL library already installed / available in " + core::style(mkl.root, "green") +
                 ".");
    }
    if (auto link = modules::link_mkl(ctx)) {
        out.info("Creating symlink " + link->link + " to " + link->target);
    }
}

} // namespace

CLI::App* add_install(CLI::App& app, InstallOptions& options) {
    CLI::App* install = app.add_subcommand("install", kInstallHelp);
    install->set_help_flag();
    install->add_option("names", options.names, "Module keys or package names to install.");
    install->add_flag("-y,--yes", options.yes, "Confirm installation without prompting.");
    install->add_flag("-a,--all", options.all, "Install all available modules.");
    options.requirements_option =
        install
            ->add_option("-r,--requirements", options.requirements, "Path to a requirements file.")
            ->check(CLI::Validator(
                [](std::string& path) {
                    std::error_code ec;
                    return fs::is_directory(path, ec) ? path + " is a directory" : std::string();
                },
                ""))
            ->type_name("FILE");
    return install;
}

void run_install(modules::Context& ctx, const InstallOptions& options) {
    core::Output& out = ctx.out;
    std::vector<std::string> names = options.names;
    if (options.requirements_option->count() > 0) {
        auto extra = modules::read_requirements_names(options.requirements);
        names.insert(names.end(), extra.begin(), extra.end());
    }
    // Refused before anything is shown or asked: uv would read such a name as an option.
    names = modules::prepare_install_names(std::move(names));
    out.info("\n" + bold("Installing modules and packages") + "\n");
    out.info("Resolving names");
    const modules::InstallPlan plan = modules::plan_install(ctx, std::move(names), options.all);
    send_warnings(out, plan.warnings);
    out.info(bold("Modules") + " to install: " +
             core::style(modules::list_notation(plan.module_titles), core::MODULE_COLOR));
    out.info("Additional " + bold("packages") + " to install: " +
             core::style(modules::list_notation(plan.other_names), core::PACKAGE_COLOR));
    const std::string styled_packages =
        core::style(modules::list_notation(plan.packages), core::PACKAGE_COLOR);
    if (!options.yes) {
        out.info("\nPreparing install and resolving dependencies for\n" + styled_packages);
        install_or_say_nothing(ctx, plan, true);
    }
    if (plan.want_mkl) {
        out.info(core::style("MKL", "blue") + " will be installed.");
    }
    if (!options.yes && !confirm(out, "Continue?", true)) {
        return;
    }
    out.info("Installing\n" + styled_packages);
    if (plan.want_mkl) {
        ensure_mkl(ctx);
    }
    install_or_say_nothing(ctx, plan, false);
}

} // namespace vorpane::cli::commands

#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/shell_quote.hpp"

#include <CLI/CLI.hpp>

namespace vorpane::cli::commands {

namespace {

constexpr const char* kDownloadHelp = R"(Download Vorpane examples for your modules.

Provide module names with the command line argument -m or --modules.
The command tries to find matching examples for incomplete names.
If no modules name is provided, all available examples will be downloaded.

--download-dir sets the target directory (default: the examples folder in the
tool's data directory); --list-available only lists what can be downloaded.)";

} // namespace

CLI::App* add_download_examples(CLI::App& app, DownloadExamplesOptions& options) {
    CLI::App* download = app.add_subcommand("download-examples", kDownloadHelp);
    download->set_help_flag();
    options.download_dir_option =
        download
            ->add_option("--download-dir", options.download_dir,
                         "The path to the directory to download the examples to.")
            ->type_name("PATH");
    download
        ->add_option("-m,--modules", options.modules,
                     "Download examples for a specific module. Can be used multiple times.")
        ->type_name("MODULE_NAMES")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    download->add_flag("--list-available", options.list_available, "List available examples.");
    download->add_flag("--json", options.json,
                       "With --list-available: print the list as one JSON document.");
    return download;
}

void run_download_examples(modules::Context& ctx, const DownloadExamplesOptions& options) {
    core::Output& out = ctx.out;
    if (options.list_available && options.json) {
        const auto examples = modules::get_entitled_examples_packages(ctx);
        send_warnings(out, examples.warnings);
        send_json(out, {{"schema", 1}, {"examples", examples.value}});
        return;
    }
    if (options.json) {
        throw core::VorpaneException("--json needs --list-available: downloads have no JSON form");
    }
    if (options.list_available) {
        std::string text = "Available examples: \n";
        auto [names, warnings] = modules::get_entitled_examples_packages(ctx);
        send_warnings(out, warnings);
        for (size_t i = 0; i < names.size(); ++i) {
            text += (i == 0 ? "" : "\n") + names[i];
        }
        out.send_message(text);
        return;
    }
    const auto plan =
        modules::plan_examples(ctx,
                               options.download_dir_option->count() > 0
                                   ? std::optional<std::filesystem::path>(options.download_dir)
                                   : std::nullopt,
                               options.modules);
    send_warnings(out, plan.warnings);
    for (const auto& name : plan.unmatched) {
        out.send_message("Package " + util::escape_control(name) + " not found in examples!");
        out.send_message("Use " +
                         core::style("vorpane download-examples --list-available", "green") +
                         " to see available examples.");
        out.send_message("\n");
    }
    if (options.modules.empty()) {
        out.info("Downloading examples for all available packages to " +
                 util::escape_control(plan.dir.string()));
    }
    std::string failed;
    const auto outcomes =
        modules::download_examples(ctx, plan, [&](const modules::DownloadOutcome& outcome) {
            const std::string name = util::escape_control(outcome.package);
            if (outcome.error) {
                failed += (failed.empty() ? "" : ", ") + name;
                out.send_message(core::style("Error downloading examples for " + name + ": " +
                                                 util::escape_control(*outcome.error),
                                             "red"));
            } else {
                out.info(core::style("Successfully downloaded examples for " + name + " to " +
                                         util::escape_control(outcome.target.string()),
                                     "green"));
            }
        });
    for (const auto& [package, file] : modules::requirement_hints(outcomes)) {
        out.send_message("Examples for " + util::escape_control(package) +
                         " require additional pacakges.To install these dependencies run the "
                         "following command:");
        out.send_message(core::style("vorpane install -r " +
                                         util::shell_quote(util::escape_control(file.string())),
                                     "yellow"));
    }
    // Names that matched nothing fail the run too, but only once the others are downloaded.
    std::string unmatched;
    for (const auto& name : plan.unmatched) {
        unmatched += (unmatched.empty() ? "" : ", ") + util::escape_control(name);
    }
    if (!failed.empty() || !unmatched.empty()) {
        throw core::VorpaneException(
            (failed.empty() ? "" : "Could not download the examples for " + failed) +
            (failed.empty() || unmatched.empty() ? "" : "; ") +
            (unmatched.empty() ? "" : "No examples found for " + unmatched));
    }
}

} // namespace vorpane::cli::commands

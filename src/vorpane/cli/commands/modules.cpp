#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/util/redact.hpp"

#include <CLI/CLI.hpp>

#include <ctime>

namespace vorpane::cli::commands {

namespace {

constexpr size_t kNameWidth = 25;
constexpr std::string_view kRule =
    "_________________________  _________________________  _________________________";

std::string pad(const std::string& text) {
    return text.size() >= kNameWidth ? text : text + std::string(kNameWidth - text.size(), ' ');
}

// `package.key` in red (not installed), yellow (needs an update) or green.
std::string styled_key(const records::VorpanePackage& package) {
    if (!package.installed_version) {
        return core::style(package.key, "red");
    }
    if (package.needs_update()) {
        return core::style(package.key, "yellow");
    }
    return core::style(package.key, "green");
}

std::string legend() {
    const std::string green = core::style("green", "green");
    const std::string red = core::style("red", "red");
    const std::string indent(4, ' ');
    const std::string hang(18, ' ');
    return "\n" + indent + "The following tables contains all your Vorpane modules.\n\n" + indent +
           "Modules Name: The name of the Vorpane module in human readable form.\n" + indent +
           "Module Key  : The unique key of the Vorpane module. Use this key to install\n" + hang +
           "all packages of the module via `vorpane install <module_key>`.\n" + indent +
           "Packages    : The list of packages available for this module. Vorpane modules\n" +
           hang + "contain one or several python packages. You can install individual\n" + hang +
           "packages using `vorpane install <package_key>`\n\n" + indent +
           "Color       : " + green + " indicates that the package is installed, " + red +
           " indicates that\n" + hang + "the package is not installed.\n" + indent;
}

// `seconds` since the epoch in RFC 3339 form, UTC, to the second.
std::string rfc3339(double seconds) {
    const auto whole = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&whole, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The listing as one JSON document: schema 1, the modules in the service's order; offline, when
// the oldest answer it used was stored as well.
void send_modules_json(modules::Context& ctx) {
    // uv answers while the service does.
    modules::InstalledQuery installed(ctx);
    const auto entitled = modules::get_all_entitled_modules(ctx);
    send_warnings(ctx.out, entitled.warnings);
    const auto listing = modules::list_installed_state(entitled.value, installed);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& module : listing) {
        nlohmann::ordered_json packages = nlohmann::ordered_json::array();
        for (const auto& package : module.packages) {
            packages.push_back(
                {{"key", package.key},
                 {"installed_version", package.installed_version
                                           ? nlohmann::ordered_json(*package.installed_version)
                                           : nlohmann::ordered_json(nullptr)},
                 {"state", package.installed_version ? "installed" : "missing"}});
        }
        list.push_back({{"name", module.name},
                        {"key", module.key},
                        {"code", module.code},
                        {"packages", std::move(packages)}});
    }
    nlohmann::ordered_json doc = {{"schema", 1}, {"modules", std::move(list)}};
    if (ctx.offline()) {
        doc["offline"] = true;
        const auto stored_at = ctx.answers_stored_at();
        doc["answers_stored_at"] =
            stored_at ? nlohmann::ordered_json(rfc3339(*stored_at)) : nlohmann::ordered_json();
    }
    send_json(ctx.out, doc);
}

} // namespace

void send_json(core::Output& out, const nlohmann::ordered_json& doc) {
    out.send_message(doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void send_warnings(core::Output& out, const modules::Warnings& warnings) {
    for (const auto& line : warnings) {
        out.send_error(line);
    }
}

CLI::App* add_modules(CLI::App& app, ModulesOptions& options) {
    CLI::App* modules =
        app.add_subcommand("modules", "Show your available Vorpane modules and packages.");
    modules->set_help_flag();
    modules->add_flag("--json", options.json,
                      "Print the modules and the state of their packages as one JSON document.");
    return modules;
}

void run_modules(modules::Context& ctx, const ModulesOptions& options) {
    if (options.json) {
        send_modules_json(ctx);
        return;
    }
    core::Output& out = ctx.out;
    out.info(legend());
    // uv answers while the service does.
    modules::InstalledQuery installed(ctx);
    const auto entitled = modules::get_all_entitled_modules(ctx);
    send_warnings(out, entitled.warnings);
    if (const auto stored_at = ctx.answers_stored_at()) {
        out.send_error("Offline: using answers stored " +
                       modules::describe_age(ctx.clock.now() - *stored_at) + " ago.");
    }
    out.send_message(kRule);
    out.send_message(pad("Module Name") + ": " + pad("Module Key") + ": Packages");
    out.send_message(kRule);
    for (const auto& module : modules::list_installed_state(entitled.value, installed)) {
        std::string packages;
        for (const auto& package : module.packages) {
            packages += (packages.empty() ? "" : ", ") + styled_key(package);
        }
        // The name is free text from the service; codes and keys were checked on arrival.
        out.send_message(pad(util::escape_control(module.name)) + ": " + pad(module.key) + ":" +
                         packages);
    }
    out.send_message(kRule);
}

} // namespace vorpane::cli::commands

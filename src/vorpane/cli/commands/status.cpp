#include "vorpane/modules/status.hpp"

#include "vorpane/cli/commands/commands.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>

namespace vorpane::cli::commands {

namespace {

using Report = modules::StatusReport;

const char* credentials_name(Report::Credentials credentials) {
    switch (credentials) {
    case Report::Credentials::valid:
        return "valid";
    case Report::Credentials::rejected:
        return "rejected";
    case Report::Credentials::unreachable:
        return "unreachable";
    case Report::Credentials::unusable:
        return "unusable";
    case Report::Credentials::unchecked:
        return "unchecked";
    case Report::Credentials::missing:
        break;
    }
    return "missing";
}

bool from_environment(const Report& report) {
    return report.source == modules::Context::CredentialsSource::environment;
}

// Where the secret is kept: "environment", "file" or the credential store's name.
std::string secret_store(const Report& report) {
    if (from_environment(report)) {
        return "environment";
    }
    return report.profile->credential_store.empty() ? "file" : report.profile->credential_store;
}

std::string python_version(const Report::Environment& environment) {
    return std::to_string(environment.major) + "." + std::to_string(environment.minor);
}

// What keeps the run from being ready, in the order the report shows it.
std::vector<std::string> problems(const Report& report) {
    std::vector<std::string> found;
    if (report.config_problem) {
        found.push_back(*report.config_problem);
    }
    if (report.profile && report.credentials != Report::Credentials::valid &&
        report.credentials != Report::Credentials::unchecked) {
        found.push_back(std::string("the credentials are ") + credentials_name(report.credentials));
    } else if (!report.profile && found.empty()) {
        found.emplace_back("there are no credentials");
    }
    if (report.environment && !report.environment->supported) {
        found.push_back("Python " + python_version(*report.environment) + " is not supported");
    } else if (!report.environment) {
        found.emplace_back("no Python environment was found");
    }
    if (!report.uv) {
        found.emplace_back("uv was not found");
    }
    if (report.cache_unsafe &&
        std::find(found.begin(), found.end(), *report.cache_unsafe) == found.end()) {
        found.push_back(*report.cache_unsafe);
    }
    return found;
}

std::string credentials_text(const Report& report) {
    switch (report.credentials) {
    case Report::Credentials::valid:
        return "valid";
    case Report::Credentials::rejected:
        return "rejected (HTTP " + std::to_string(report.exchange->status) + ")";
    case Report::Credentials::unreachable:
        return "service unreachable: " +
               (report.exchange
                    ? util::escape_control(util::first_line(token_failure_text(*report.exchange)))
                    : report.exchange_error);
    case Report::Credentials::unusable:
        return "unusable: " + report.exchange_error;
    case Report::Credentials::unchecked:
        return "not checked (offline)";
    case Report::Credentials::missing:
        break;
    }
    return "missing: run 'vorpane init'";
}

void send_text(core::Output& out, const Report& report) {
    std::vector<std::pair<std::string, std::string>> lines;
    lines.emplace_back("Profile name", report.profile_name ? *report.profile_name : "(default)");
    lines.emplace_back("Configuration file", util::escape_control(report.config_file.string()));
    if (report.profile) {
        const auto& profile = *report.profile;
        const std::string store = secret_store(report);
        lines.emplace_back("Secret kept in", store == "file" || store == "environment"
                                                 ? "the " + store
                                                 : "credential store " + store);
        lines.emplace_back("Profile",
                           "token id " + util::escape_control(profile.token_id) + " (from " +
                               (from_environment(report) ? "VORPANE_TOKEN_ID and VORPANE_TOKEN"
                                                         : "the configuration file") +
                               ")");
        lines.emplace_back("Cloud environment", profile.cloud_environment);
        lines.emplace_back("Token service", report.token_service);
        lines.emplace_back("Entitlement service", report.entitlement_service);
    } else if (report.config_problem) {
        lines.emplace_back("Profile", "none (" + *report.config_problem + ")");
    } else {
        lines.emplace_back("Profile", "none stored");
    }
    lines.emplace_back("Credentials", credentials_text(report));
    if (report.environment) {
        const auto& environment = *report.environment;
        lines.emplace_back("Environment", util::escape_control(environment.prefix) + " (Python " +
                                              python_version(environment) +
                                              (environment.supported ? "" : ", not supported") +
                                              ")");
    } else {
        lines.emplace_back("Environment", "not found: " + report.environment_error);
    }
    if (report.uv) {
        lines.emplace_back(
            "uv",
            util::escape_control(report.uv->path) +
                (report.uv->version.empty() ? " (no version)" : " (" + report.uv->version + ")"));
    } else {
        lines.emplace_back("uv", "not found: " + report.uv_error);
    }
    std::string cache = util::escape_control(report.cache_file.string());
    if (report.cache_unsafe) {
        cache += " (not read)";
    } else if (report.cache_entries.empty()) {
        cache += " (no entries)";
    }
    for (const auto& entry : report.cache_entries) {
        cache += fmt::format("\n  {}: stored {} s ago, {}", entry.what, entry.age_seconds,
                             entry.expires_in_seconds > 0
                                 ? fmt::format("expires in {} s", entry.expires_in_seconds)
                                 : std::string("expired"));
    }
    lines.emplace_back("Cache", cache);
    for (const auto& [name, value] : lines) {
        out.send_message(fmt::format("{:<20} {}", name + ":", value));
    }
}

void send_report_json(core::Output& out, const Report& report) {
    using Json = nlohmann::ordered_json;
    Json doc = {{"schema", 1},
                {"config_file", report.config_file.string()},
                {"config_problem", report.config_problem ? Json(*report.config_problem) : Json()},
                {"profile_name", report.profile_name ? Json(*report.profile_name) : Json()}};
    if (report.profile) {
        doc["profile"] = {{"token_id", report.profile->token_id},
                          {"cloud_environment", report.profile->cloud_environment}};
        doc["credentials_source"] = from_environment(report) ? "environment" : "file";
        doc["credentials_store"] = secret_store(report);
        doc["services"] = {{"token", report.token_service},
                           {"entitlements", report.entitlement_service}};
    } else {
        doc["profile"] = nullptr;
        doc["credentials_source"] = nullptr;
        doc["credentials_store"] = nullptr;
    }
    doc["credentials"] = credentials_name(report.credentials);
    doc["environment"] = report.environment
                             ? Json{{"prefix", report.environment->prefix},
                                    {"python_version", python_version(*report.environment)}}
                             : Json();
    doc["uv"] =
        report.uv
            ? Json{{"path", report.uv->path},
                   {"version", report.uv->version.empty() ? Json() : Json(report.uv->version)}}
            : Json();
    doc["cache_file"] = report.cache_file.string();
    Json entries = Json::array();
    for (const auto& entry : report.cache_entries) {
        entries.push_back({{"entry", entry.what},
                           {"age_seconds", entry.age_seconds},
                           {"expires_in_seconds", entry.expires_in_seconds}});
    }
    doc["cache_entries"] = std::move(entries);
    send_json(out, doc);
}

} // namespace

std::string token_failure_text(const api::TokenOutcome& outcome) {
    switch (outcome.kind) {
    case api::TokenOutcome::Kind::rejected:
        return "Authentication failed. Status code: " + std::to_string(outcome.status);
    case api::TokenOutcome::Kind::unreachable:
        return "HTTP error occurred: " + outcome.detail;
    case api::TokenOutcome::Kind::local_failure:
        return "Error reading configuration: " + outcome.detail;
    case api::TokenOutcome::Kind::ok:
        break;
    }
    return {};
}

CLI::App* add_status(CLI::App& app, StatusOptions& options) {
    CLI::App* status = app.add_subcommand(
        "status", "Show the configuration, check the credentials with the service, and show the "
                  "Python environment, uv and the cache.");
    status->set_help_flag();
    status->add_flag("--json", options.json, "Print the report as one JSON document.");
    return status;
}

void run_status(modules::Context& ctx, const StatusOptions& options) {
    const Report report = modules::build_status(ctx);
    if (options.json) {
        send_report_json(ctx.out, report);
    } else {
        send_text(ctx.out, report);
    }
    const auto found = problems(report);
    if (!found.empty()) {
        std::string text;
        for (const auto& problem : found) {
            text += (text.empty() ? "" : "; ") + problem;
        }
        throw core::VorpaneException("not ready: " + text);
    }
}

} // namespace vorpane::cli::commands

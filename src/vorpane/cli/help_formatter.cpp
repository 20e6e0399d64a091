#include "vorpane/cli/help_formatter.hpp"

#include <algorithm>
#include <sstream>
#include <utility>
#include <vector>

namespace vorpane::cli {

namespace {

constexpr size_t kShortHelpLimit = 56;

std::string option_label(const CLI::Option* opt) {
    std::string label;
    for (const auto& s : opt->get_snames()) {
        label += (label.empty() ? "-" : ", -") + s;
    }
    for (const auto& l : opt->get_lnames()) {
        label += (label.empty() ? "--" : ", --") + l;
    }
    if (opt->get_expected_max() != 0) {
        std::string type = opt->get_type_name();
        label += " " + (type.empty() ? std::string("TEXT") : type);
    }
    return label;
}

void write_table(std::ostringstream& out,
                 const std::vector<std::pair<std::string, std::string>>& rows) {
    size_t width = 0;
    for (const auto& row : rows) {
        width = std::max(width, row.first.size());
    }
    for (const auto& [left, right] : rows) {
        out << "  " << left;
        if (!right.empty()) {
            out << std::string(width - left.size() + 2, ' ');
            std::istringstream lines(right);
            std::string line;
            bool first = true;
            while (std::getline(lines, line)) {
                if (!first) {
                    out << '\n' << std::string(width + 4, ' ');
                }
                out << line;
                first = false;
            }
        }
        out << '\n';
    }
}

} // namespace

std::string command_path(const CLI::App* app) {
    std::string path = app->get_name();
    for (const CLI::App* p = app->get_parent(); p != nullptr; p = p->get_parent()) {
        path = p->get_name() + " " + path;
    }
    return path;
}

std::string usage_line(const CLI::App* app) {
    std::string line = "Usage: " + command_path(app) + " [OPTIONS]";
    for (const CLI::Option* opt :
         app->get_options([](const CLI::Option* o) { return o->get_positional(); })) {
        std::string name = opt->get_name(true, false);
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        line += opt->get_items_expected_max() > 1 ? " [" + name + "]..." : " " + name;
    }
    if (!app->get_subcommands({}).empty()) {
        line += " COMMAND [ARGS]...";
    }
    return line;
}

std::string short_help(const std::string& description) {
    std::string text = description.substr(0, description.find('\n'));
    if (auto dot = text.find(". "); dot != std::string::npos) {
        text = text.substr(0, dot + 1);
    }
    if (text.size() > kShortHelpLimit) {
        auto cut = text.rfind(' ', kShortHelpLimit - 3);
        text = text.substr(0, cut == std::string::npos ? kShortHelpLimit - 3 : cut) + "...";
    }
    return text;
}

std::string HelpFormatter::make_help(const CLI::App* app,
                                     std::string /*name*/,
                                     CLI::AppFormatMode /*mode*/) const {
    std::ostringstream out;
    out << usage_line(app) << "\n";
    if (!app->get_description().empty()) {
        out << "\n";
        std::istringstream lines(app->get_description());
        std::string line;
        while (std::getline(lines, line)) {
            out << (line.empty() ? "" : "  " + line) << "\n";
        }
    }
    std::vector<std::pair<std::string, std::string>> rows;
    for (const CLI::Option* opt :
         app->get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
        rows.emplace_back(option_label(opt), opt->get_description());
    }
    if (!rows.empty()) {
        out << "\nOptions:\n";
        write_table(out, rows);
    }
    std::vector<const CLI::App*> subs = app->get_subcommands({});
    std::sort(subs.begin(), subs.end(),
              [](const CLI::App* a, const CLI::App* b) { return a->get_name() < b->get_name(); });
    if (!subs.empty()) {
        rows.clear();
        for (const CLI::App* sub : subs) {
            rows.emplace_back(sub->get_name(), short_help(sub->get_description()));
        }
        out << "\nCommands:\n";
        write_table(out, rows);
    }
    std::string text = out.str();
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

} // namespace vorpane::cli

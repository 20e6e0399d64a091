#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace vorpane::cli {

// Help screens in the layout users know from common Python command-line tools: a usage line,
// the description indented by two spaces, then "Options:" and "Commands:" tables. Commands are
// listed alphabetically with the first sentence of their description.
class HelpFormatter : public CLI::FormatterBase {
  public:
    std::string
    make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
};

// "vorpane install" for the install command of a group invoked as "vorpane".
std::string command_path(const CLI::App* app);

// The usage line of `app`, e.g. "Usage: vorpane install [OPTIONS] [NAMES]...".
std::string usage_line(const CLI::App* app);

// The first sentence of `description`, shortened to about 56 characters with "..." when long.
std::string short_help(const std::string& description);

} // namespace vorpane::cli

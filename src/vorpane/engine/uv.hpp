#pragma once

#include "vorpane/engine/runner.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::engine {

// The record of a finished uv run.
struct CompletedProcess {
    // The uv path, then the arguments as given.
    std::vector<std::string> args;
    int returncode = 0;
    // The raw bytes uv wrote, only when output was captured.
    std::optional<std::string> out;
    std::optional<std::string> err;
};

// No uv executable in the target environment nor on PATH.
class UvNotFound : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The cause attached (std::nested_exception) to the core::VorpaneUVException of a failed run.
// what() is "uv exited with status <N>", followed, when output was captured, by ": " and the
// last non-empty line uv wrote to standard error, masked and escaped for the terminal.
class UvFailed : public std::runtime_error {
  public:
    UvFailed(int returncode, const std::optional<std::string>& err);
    // The exit status, or minus the signal number when a signal ended uv.
    [[nodiscard]] int returncode() const noexcept { return m_returncode; }

  private:
    int m_returncode;
};

// The uv executable for the environment at `root`: <root>/bin/uv, else the first uv in the
// PATH-style list `path_value`. Throws UvNotFound.
std::string find_uv_in(const std::string& root, const std::string& path_value);

// Runs uv with `args` (each one argument, no shell) in the child environment and waits, uv
// writing to the tool's terminal; with `capture_output` its standard output and error are
// collected instead. `extra_env` is added to (and overrides) the child environment. Throws
// core::VorpaneUVException "Error running uv with <args as a Python tuple>" (any URL password
// masked, escaped for the terminal) with a UvFailed nested when uv exits non-zero,
// UvNotFound, SpawnError, and what the runner throws on an interruption.
CompletedProcess run_uv_in_python(Runtime& rt,
                                  const std::vector<std::string>& args,
                                  bool capture_output = false,
                                  const std::map<std::string, std::string>& extra_env = {});

// The distributions installed in an environment, as `uv pip list --format json` reports them.
class InstalledPackages {
  public:
    // Records `version` for the distribution called `name` (any spelling).
    void add(std::string_view name, std::string version);
    // The installed version of the distribution called `name`, compared by normalised name;
    // std::nullopt when it is not installed.
    [[nodiscard]] std::optional<std::string> version_of(std::string_view name) const;
    [[nodiscard]] std::size_t size() const noexcept { return m_versions.size(); }

  private:
    std::map<std::string, std::string, std::less<>> m_versions;
};

// `name` normalised as package indexes compare names: lower case, each run of "-", "_" and "."
// one "-".
std::string normalized_package_name(std::string_view name);

// The most bytes and JSON values of a `uv pip list` answer the tool reads.
inline constexpr std::size_t MAX_PIP_LIST_BYTES = std::size_t{64} << 20U;
inline constexpr std::size_t MAX_PIP_LIST_VALUES = 1'000'000;

// Parses `uv pip list --format json` output: a JSON array of objects, each with the strings
// "name" and "version" (other fields are ignored), read without building a tree. Throws
// core::VorpaneUVException saying what is wrong for anything else, for more than
// MAX_PIP_LIST_BYTES bytes or MAX_PIP_LIST_VALUES values, or for nesting deeper than 64 levels.
InstalledPackages parse_pip_list(std::string_view output);

// The distributions installed in the target environment, from one `uv pip list --format json`
// run. Throws what run_uv_in_python throws (core::VorpaneUVException when uv exits non-zero) and
// what parse_pip_list throws.
InstalledPackages list_installed_packages(Runtime& rt);

} // namespace vorpane::engine

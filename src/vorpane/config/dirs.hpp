#pragma once

#include "vorpane/core/errors.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vorpane::config {

enum class Platform { Linux, MacOS };

// Reads one environment variable; std::nullopt when unset.
using EnvLookup = std::function<std::optional<std::string>(const std::string&)>;

// The value of the variable `name`; std::nullopt when it is unset or empty, as the XDG rules and
// shells treat an empty variable.
std::optional<std::string> non_empty_env(const EnvLookup& env, const std::string& name);

// A whole environment: what a run was started with, and what its children get.
using Environment = std::map<std::string, std::string>;

// The process environment as an EnvLookup. With process_environment, the only reader of the
// process environment below main: everything else is handed a lookup or a copy.
EnvLookup process_env();

// A copy of the whole process environment (the first definition of a name wins, as getenv sees
// it).
Environment process_environment();

// Looks names up in `env`, which must outlive the lookup.
EnvLookup lookup_in(const Environment& env);

// The platform this binary was built for.
Platform current_platform();

struct AppDirs {
    std::filesystem::path config_dir;
    std::filesystem::path data_dir;
};

// The per-user directories of application "Vorpane" (author "Zelcorp GmbH") for `platform`,
// by its convention: XDG on Linux (XDG_CONFIG_HOME / XDG_DATA_HOME only when absolute,
// defaults ~/.config and ~/.local/share), ~/Library/Application Support on macOS. Pure:
// creates nothing. Throws core::VorpaneException when HOME is unset.
AppDirs resolve_app_dirs(Platform platform, const EnvLookup& env);

// Creates `dir` and every missing parent with mode 0700; an existing directory (also one that
// another process creates meanwhile) is left alone. Throws std::filesystem::filesystem_error.
void create_private_directories(const std::filesystem::path& dir);

// A file or directory of the tool's state that another user could read, replace or plant; the
// message names the path, its owner and mode, and the commands that fix it.
class UnsafeStateError : public core::VorpaneException {
  public:
    using core::VorpaneException::VorpaneException;
};

// Checks `info` (fstat of the open `path`) like ssh's StrictModes: the effective user must own
// it, and a directory must not be writable by group or others. Throws UnsafeStateError.
void check_own_state(const struct stat& info, const std::filesystem::path& path);

// Creates `dir` (mode 0700, with parents) when missing, then opens it (a link followed to its
// target) and checks it with check_own_state. Throws UnsafeStateError,
// std::filesystem::filesystem_error.
void make_own_directory(const std::filesystem::path& dir);
// `dir` made and checked with make_own_directory.
std::filesystem::path checked_config_dir(const std::filesystem::path& dir);
// The configuration directory of the default profile, which holds the named ones, made and
// checked with make_own_directory.
std::filesystem::path config_root_dir();
// The directory of the profile in effect (see config/profiles.hpp): config_root_dir() or its
// profiles/NAME, made and checked like it before anyone uses it. Throws UnsafeStateError,
// std::filesystem::filesystem_error, core::VorpaneException for an invalid VORPANE_PROFILE.
std::filesystem::path get_config_dir();
// The data directory, created (mode 0700, with parents) when missing.
std::filesystem::path get_data_dir();
// Data directory / "examples", created when missing.
std::filesystem::path get_default_examples_dir();

} // namespace vorpane::config

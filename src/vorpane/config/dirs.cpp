#include "vorpane/config/dirs.hpp"

#include "vorpane/config/profiles.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorpane::config {

namespace fs = std::filesystem;

namespace {

constexpr const char* APP_NAME = "Vorpane";

fs::path home_dir(const EnvLookup& env) {
    auto home = non_empty_env(env, "HOME");
    if (!home) {
        throw core::VorpaneException(
            "Cannot locate the per-user directories: the HOME environment variable is not set.");
    }
    return fs::path(*home);
}

// An XDG base directory: the variable when it holds an absolute path, else HOME / fallback.
fs::path xdg_base(const EnvLookup& env, const std::string& name, const fs::path& fallback) {
    if (auto value = non_empty_env(env, name); value && fs::path(*value).is_absolute()) {
        return fs::path(*value);
    }
    return home_dir(env) / fallback;
}

} // namespace

EnvLookup process_env() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
}

Environment process_environment() {
    Environment env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        auto eq = text.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            continue;
        }
        env.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
    }
    return env;
}

EnvLookup lookup_in(const Environment& env) {
    return [&env](const std::string& name) -> std::optional<std::string> {
        auto found = env.find(name);
        return found != env.end() ? std::optional<std::string>(found->second) : std::nullopt;
    };
}

Platform current_platform() {
#if defined(__APPLE__)
    return Platform::MacOS;
#else
    return Platform::Linux;
#endif
}

AppDirs resolve_app_dirs(Platform platform, const EnvLookup& env) {
    switch (platform) {
    case Platform::MacOS: {
        fs::path dir = home_dir(env) / "Library" / "Application Support" / APP_NAME;
        return {dir, dir};
    }
    case Platform::Linux:
        break;
    }
    return {xdg_base(env, "XDG_CONFIG_HOME", ".config") / APP_NAME,
            xdg_base(env, "XDG_DATA_HOME", fs::path(".local") / "share") / APP_NAME};
}

void create_private_directories(const fs::path& dir) {
    std::error_code ec;
    if (dir.empty() || fs::is_directory(dir, ec)) {
        return;
    }
    fs::path parent = dir.parent_path();
    if (parent != dir) {
        create_private_directories(parent);
    }
    if (::mkdir(dir.c_str(), 0700) != 0) {
        int err = errno;
        // Another process may have created it between our check and mkdir.
        if (err == EEXIST && fs::is_directory(dir, ec)) {
            return;
        }
        throw fs::filesystem_error("cannot create directory", dir,
                                   std::error_code(err, std::generic_category()));
    }
}

void check_own_state(const struct stat& info, const fs::path& path) {
    const uid_t me = ::geteuid();
    const bool foreign = info.st_uid != me;
    const bool open_to_others = S_ISDIR(info.st_mode) && (info.st_mode & 022) != 0;
    if (!foreign && !open_to_others) {
        return;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    const std::string quoted = util::escape_control(path.string());
    std::string fix;
    if (foreign) {
        fix = "chown " + std::to_string(me) + " " + quoted;
    }
    if (open_to_others) {
        fix += (fix.empty() ? "" : " && ") + std::string("chmod go-w ") + quoted;
    }
    throw UnsafeStateError(
        quoted + " is owned by uid " + std::to_string(info.st_uid) + " with mode " + mode +
        "; it must belong to you (uid " + std::to_string(me) +
        (S_ISDIR(info.st_mode) ? ") and not be writable by others: " : "): ") + fix);
}

void make_own_directory(const fs::path& dir) {
    create_private_directories(dir);
    // Checked on the open directory: a path checked before use could be swapped meanwhile. A
    // link (dotfiles managers make them) is followed: what must be ours is where it leads.
    util::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        const int err = errno;
        throw fs::filesystem_error("cannot open the configuration directory", dir,
                                   std::error_code(err, std::generic_category()));
    }
    check_own_state(info, dir);
}

fs::path checked_config_dir(const fs::path& dir) {
    make_own_directory(dir);
    return dir;
}

fs::path config_root_dir() {
    fs::path dir = resolve_app_dirs(current_platform(), process_env()).config_dir;
    make_own_directory(dir);
    return dir;
}

fs::path get_config_dir() {
    return open_profile_dir(config_root_dir(), selected_profile(process_env()));
}

fs::path get_data_dir() {
    fs::path dir = resolve_app_dirs(current_platform(), process_env()).data_dir;
    create_private_directories(dir);
    return dir;
}

fs::path get_default_examples_dir() {
    fs::path dir = get_data_dir() / "examples";
    create_private_directories(dir);
    return dir;
}

std::optional<std::string> non_empty_env(const EnvLookup& env, const std::string& name) {
    auto value = env(name);
    return value && !value->empty() ? value : std::nullopt;
}

} // namespace vorpane::config

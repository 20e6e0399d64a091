#include "vorpane/engine/mkl.hpp"

#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/system.hpp"

#include <exception>

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

constexpr const char* k_probe = "from importlib.metadata import distribution;distribution('mkl')";

void create_mkl_symlinks_for(bool windows) {
    MklLayout layout = mkl_layout(windows);
    fs::path libdir = fs::path(detect_virtualenv()) / layout.libdir;
    fs::path link = libdir / layout.link_name;
    // exists() follows links: a dangling link counts as absent, and creating over it then
    // fails loudly instead of leaving a broken library name in place.
    if (fs::exists(link)) {
        return;
    }
    auto target = find_mkl_link_target(libdir, windows);
    if (!target) {
        throw MklNotFound(libdir);
    }
    std::string link_text = normalized_path_text(link.string());
    send_message("Creating symlink " + link_text + " to " + *target);
    if (!windows) {
        fs::create_symlink(*target, link_text);
        return;
    }
    try {
        fs::create_symlink(*target, link_text);
    } catch (const fs::filesystem_error&) {
        std::throw_with_nested(VorpaneException(
            "Permission denied to create symlink. Please activate `Security Settings\\Local "
            "Policies\\User Rights Assignment\\Create symbolic links`"));
    }
}

} // namespace

std::string MklLayout::versioned_name(int v) const {
    return windows ? "mkl_rt." + std::to_string(v) + ".dll" : "libmkl_rt.so." + std::to_string(v);
}

MklLayout mkl_layout(bool windows) {
    if (windows) {
        return MklLayout{fs::path("Library") / "bin", "mkl_rt.dll", true};
    }
    return MklLayout{fs::path("lib"), "libmkl_rt.so", false};
}

std::optional<std::string> find_mkl_link_target(const fs::path& libdir, bool windows) {
    MklLayout layout = mkl_layout(windows);
    std::optional<std::string> target;
    // No early exit: each lower version present replaces the higher, so the lowest wins.
    for (int v = 5; v >= 1; --v) {
        std::string name = layout.versioned_name(v);
        std::error_code ec;
        if (fs::exists(libdir / name, ec)) {
            target = name;
        }
    }
    return target;
}

void ensure_mkl_in_environment(const IndexLocator& locate_index) {
    fs::path root(detect_virtualenv());
    if (!is_mkl_present()) {
        send_message("MKL library not found. Installing " + style("MKL", "green") + " via pip.");
        install_mkl(locate_index);
    } else {
        send_message("MKL library already installed / available in " +
                     style(normalized_path_text(root.string()), "green") + ".");
    }
    create_mkl_symlinks();
}

bool is_mkl_present() {
    util::ProcessOptions discard;
    discard.discard = true;
    try {
        _run_cmd("python", std::vector<std::string>{"-c", k_probe}, discard);
    } catch (const VorpaneException&) {
        return false;
    }
    return true;
}

void install_mkl(const IndexLocator& locate_index) {
    send_message("Installing " + style("MKL", "green") + " via pip.");
    install_modules({"mkl"}, true, false, std::nullopt, locate_index);
}

void create_mkl_symlinks() {
    if (config::runs_on_windows()) {
        _create_mkl_symlinks_windows();
    } else {
        _create_mkl_symlinks_posix();
    }
}

void _create_mkl_symlinks_posix() {
    create_mkl_symlinks_for(false);
}

void _create_mkl_symlinks_windows() {
    create_mkl_symlinks_for(true);
}

} // namespace vorpane::engine

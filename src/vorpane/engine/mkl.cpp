#include "vorpane/engine/mkl.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/system.hpp"

#include <exception>

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

constexpr const char* k_probe = "from importlib.metadata import distribution;distribution('mkl')";

std::optional<MklLink> create_mkl_symlinks_for(Runtime& rt, bool windows) {
    MklLayout layout = mkl_layout(windows);
    fs::path libdir = fs::path(rt.target.root()) / layout.libdir;
    fs::path link = libdir / layout.link_name;
    // exists() follows links: a dangling link counts as absent, and creating over it then
    // fails loudly instead of leaving a broken library name in place.
    if (fs::exists(link)) {
        return std::nullopt;
    }
    auto target = find_mkl_link_target(libdir, windows);
    if (!target) {
        throw MklNotFound(libdir);
    }
    std::string link_text = normalized_path_text(link.string());
    if (!windows) {
        fs::create_symlink(*target, link_text);
        return MklLink{link_text, *target};
    }
    try {
        fs::create_symlink(*target, link_text);
    } catch (const fs::filesystem_error&) {
        std::throw_with_nested(core::VorpaneException(
            "Permission denied to create symlink. Please activate `Security Settings\\Local "
            "Policies\\User Rights Assignment\\Create symbolic links`"));
    }
    return MklLink{link_text, *target};
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

bool is_mkl_present(Runtime& rt) {
    util::ProcessOptions discard;
    discard.discard = true;
    try {
        _run_cmd(rt, "python", std::vector<std::string>{"-c", k_probe}, discard);
    } catch (const core::VorpaneException&) {
        return false;
    }
    return true;
}

void install_mkl(Runtime& rt, const IndexLocator& locate_index) {
    install_modules(rt, {"mkl"}, true, false, std::nullopt, locate_index);
}

std::optional<MklLink> create_mkl_symlinks(Runtime& rt) {
    return config::runs_on_windows() ? _create_mkl_symlinks_windows(rt)
                                     : _create_mkl_symlinks_posix(rt);
}

std::optional<MklLink> _create_mkl_symlinks_posix(Runtime& rt) {
    return create_mkl_symlinks_for(rt, false);
}

std::optional<MklLink> _create_mkl_symlinks_windows(Runtime& rt) {
    return create_mkl_symlinks_for(rt, true);
}

} // namespace vorpane::engine

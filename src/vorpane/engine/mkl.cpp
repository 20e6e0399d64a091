#include "vorpane/engine/mkl.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/engine/system.hpp"

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

constexpr const char* k_probe = "from importlib.metadata import distribution;distribution('mkl')";
constexpr const char* k_link_name = "libmkl_rt.so";

} // namespace

std::string mkl_versioned_name(int v) {
    return "libmkl_rt.so." + std::to_string(v);
}

std::optional<std::string> find_mkl_link_target(const fs::path& libdir) {
    std::optional<std::string> target;
    // No early exit: each lower version present replaces the higher, so the lowest wins.
    for (int v = 5; v >= 1; --v) {
        std::string name = mkl_versioned_name(v);
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
        run_python(rt, {"-c", k_probe}, discard);
    } catch (const core::VorpaneException&) {
        return false;
    }
    return true;
}

void install_mkl(Runtime& rt, const IndexLocator& locate_index) {
    install_modules(rt, {"mkl"}, false, locate_index);
}

std::optional<MklLink> create_mkl_symlinks(Runtime& rt) {
    fs::path libdir = fs::path(rt.target.root()) / "lib";
    fs::path link = libdir / k_link_name;
    // exists() follows links: a dangling link counts as absent, and creating over it then
    // fails loudly instead of leaving a broken library name in place.
    if (fs::exists(link)) {
        return std::nullopt;
    }
    auto target = find_mkl_link_target(libdir);
    if (!target) {
        throw MklNotFound(libdir);
    }
    std::string link_text = normalized_path_text(link.string());
    fs::create_symlink(*target, link_text);
    return MklLink{link_text, *target};
}

} // namespace vorpane::engine

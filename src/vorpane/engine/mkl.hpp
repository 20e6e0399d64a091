#pragma once

#include "vorpane/engine/install.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace vorpane::engine {

// No versioned MKL runtime library in the environment. what() is exactly "MKL RT not found.";
// code() is no_such_file_or_directory and path() the library directory searched.
class MklNotFound : public std::runtime_error {
  public:
    explicit MklNotFound(std::filesystem::path libdir)
        : std::runtime_error("MKL RT not found."), m_path(std::move(libdir)) {}
    [[nodiscard]] std::error_code code() const noexcept {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return m_path; }

  private:
    std::filesystem::path m_path;
};

// "libmkl_rt.so.<v>": the versioned runtime library file name for version `v`.
std::string mkl_versioned_name(int v);

// The file name the unversioned link should point to: the versioned library in `libdir` with
// the lowest version from 5 down to 1 present (links followed); std::nullopt when none is.
std::optional<std::string> find_mkl_link_target(const std::filesystem::path& libdir);

// The link create_mkl_symlinks made: its path and the versioned name it points to.
struct MklLink {
    std::string link;
    std::string target;
};

// Whether the target environment's python can import the "mkl" distribution's metadata (the
// probe's output discarded). Throws SpawnError when that python cannot be started, Aborted.
bool is_mkl_present(Runtime& rt);

// Installs "mkl" from the private index (install_modules with upgrade). Throws what
// install_modules throws.
void install_mkl(Runtime& rt, const IndexLocator& locate_index);

// Links "libmkl_rt.so" in the environment's "lib" directory to the lowest versioned runtime
// library (1 to 5) present, as a relative link; returns the link made, or std::nullopt when the
// name exists already. Throws MklNotFound when no versioned library is there,
// std::filesystem::filesystem_error.
std::optional<MklLink> create_mkl_symlinks(Runtime& rt);

} // namespace vorpane::engine

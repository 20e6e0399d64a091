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

// Where the MKL runtime lives in an environment on one platform.
struct MklLayout {
    // Below the environment root: "lib", or "Library/bin" on Windows.
    std::filesystem::path libdir;
    // The unversioned name the link gets: "libmkl_rt.so" or "mkl_rt.dll".
    std::string link_name;
    // The versioned file name for version `v`: "libmkl_rt.so.<v>" or "mkl_rt.<v>.dll".
    [[nodiscard]] std::string versioned_name(int v) const;
    bool windows = false;
};

// The layout for POSIX systems or for Windows.
MklLayout mkl_layout(bool windows);

// The file name the unversioned link should point to: the versioned library in `libdir` with
// the lowest version from 5 down to 1 present (links followed); std::nullopt when none is.
std::optional<std::string> find_mkl_link_target(const std::filesystem::path& libdir, bool windows);

// Checks for the "mkl" package in the target environment, installs it from the private index
// (located through `locate_index`) when missing, then links the runtime library. Prints
// "MKL library not found. Installing MKL via pip." or "MKL library already installed /
// available in <root>.". Throws what is_mkl_present, install_mkl and create_mkl_symlinks throw.
void ensure_mkl_in_environment(const IndexLocator& locate_index);

// True when the environment's python finds installed metadata for "mkl" (a probe run with its
// output discarded exits 0). Throws SpawnError when that python cannot be started, Aborted.
bool is_mkl_present();

// Prints "Installing MKL via pip." and installs "mkl" with per-package upgrade. Throws what
// install_modules throws.
void install_mkl(const IndexLocator& locate_index);

// The link of the platform's layout (see below).
void create_mkl_symlinks();

// Creates <root>/lib/libmkl_rt.so pointing to the lowest libmkl_rt.so.<5..1> present, saying
// "Creating symlink <link> to <target>"; does nothing when libmkl_rt.so exists. Throws
// MklNotFound, and std::filesystem::filesystem_error when the link cannot be made.
void _create_mkl_symlinks_posix();

// The same for <root>/Library/bin/mkl_rt.dll and mkl_rt.<v>.dll; a failed link creation throws
// VorpaneException asking for the symbolic-link privilege, with the system error nested.
void _create_mkl_symlinks_windows();

} // namespace vorpane::engine

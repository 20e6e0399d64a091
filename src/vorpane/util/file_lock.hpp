#pragma once

#include "vorpane/util/fd.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>

namespace vorpane::util {

// An exclusive advisory lock (flock) on a file, held until the object goes; the kernel releases
// it too when the holder dies. Separate opens conflict even within one process. The descriptor
// is close-on-exec, so children never hold the lock.
class FileLock {
  public:
    // Opens or creates `file` (mode 0600, no symbolic link, regular files only) and locks it,
    // waiting at most `wait`. A file deleted or replaced while the lock was awaited is opened
    // afresh. std::nullopt when the lock was not had in time or the file cannot be created or
    // opened; never throws for those.
    static std::optional<FileLock> acquire(const std::filesystem::path& file,
                                           std::chrono::milliseconds wait);

    // The locked file's descriptor, for checks on the open file.
    [[nodiscard]] int descriptor() const noexcept { return m_fd.get(); }

  private:
    explicit FileLock(UniqueFd fd) noexcept : m_fd(std::move(fd)) {}
    UniqueFd m_fd;
};

} // namespace vorpane::util

#include "vorpane/util/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace vorpane::util {

namespace {

// Whether `fd` is still the file that `file` names: one deleted or replaced meanwhile (by a
// clean-up of the directory) would lock nothing that the next opener sees.
bool still_named(int fd, const std::filesystem::path& file) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::lstat(file.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

std::optional<FileLock> FileLock::acquire(const std::filesystem::path& file,
                                          std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    // Short naps first: the usual holder is one exchange with a service, well under a second.
    std::chrono::milliseconds nap(2);
    for (;;) {
        UniqueFd fd(::open(
            file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
        if (!fd) {
            return std::nullopt;
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return std::nullopt;
        }
        for (;;) {
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
                break;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return std::nullopt;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(nap);
            nap = std::min(nap * 2, std::chrono::milliseconds(50));
        }
        if (still_named(fd.get(), file)) {
            return FileLock(std::move(fd));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

} // namespace vorpane::util

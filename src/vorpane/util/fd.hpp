#pragma once

#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

namespace vorpane::util {

// Owns a file descriptor and closes it on destruction; -1 means none.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) noexcept : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.m_fd, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    [[nodiscard]] int get() const noexcept { return m_fd; }
    [[nodiscard]] explicit operator bool() const noexcept { return m_fd >= 0; }

    // Closes the current descriptor (if any) and takes `fd`.
    void reset(int fd = -1) noexcept {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

    // Closes now; false when the kernel reported an error (delayed write errors show here).
    bool close() noexcept {
        int fd = std::exchange(m_fd, -1);
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int m_fd;
};

// Writes all of `data` to `fd`, retrying after interruptions and short writes. Returns 0, or the
// errno of the write that failed (EPIPE when the reader has gone away).
int write_all(int fd, std::string_view data) noexcept;

// Throws std::system_error for the errno value `code`, with `what` saying what failed.
[[noreturn]] void throw_errno(int code, const std::string& what);

} // namespace vorpane::util

#include "vorpane/util/fd.hpp"

#include <cerrno>

namespace vorpane::util {

int write_all(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

} // namespace vorpane::util

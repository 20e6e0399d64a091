#include "vorpane/util/fd.hpp"

#include <cerrno>
#include <system_error>

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

void throw_errno(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

} // namespace vorpane::util

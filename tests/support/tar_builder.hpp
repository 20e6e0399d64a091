#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace vorpane::test {

// One member of a test archive.
struct TarMember {
    std::string name;
    // 'f' regular file, 'd' directory, 's' symbolic link, 'h' hard link, 'c' character device,
    // 'b' block device, 'p' FIFO.
    char kind = 'f';
    // A file's data, or a link's target.
    std::string content;
    unsigned mode = 0644;
    // Incompressible bytes appended to a file's data.
    std::size_t random_bytes = 0;
};

// Writes `members` as a gzip-compressed tar archive to `path`, with Python's tarfile (the tool
// itself only ever reads archives). Throws std::runtime_error when that fails.
void write_tar_gz(const std::filesystem::path& path, const std::vector<TarMember>& members);

} // namespace vorpane::test

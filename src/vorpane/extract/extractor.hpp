#pragma once

// The libarchive side of extraction: reading members and writing them below a directory. Only
// extract/ uses this header.

#include "vorpane/util/dynlib.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vorpane::extract {

// The libarchive functions extraction uses, resolved from the shared library.
struct ArchiveApi {
    util::DynLib lib{{"libarchive.so.13", "libarchive.13.dylib"}};
    decltype(&::archive_read_new) archive_read_new = nullptr;
    decltype(&::archive_read_free) archive_read_free = nullptr;
    decltype(&::archive_read_support_filter_gzip) archive_read_support_filter_gzip = nullptr;
    decltype(&::archive_read_support_format_tar) archive_read_support_format_tar = nullptr;
    decltype(&::archive_read_open_fd) archive_read_open_fd = nullptr;
    decltype(&::archive_read_next_header) archive_read_next_header = nullptr;
    decltype(&::archive_read_data_block) archive_read_data_block = nullptr;
    decltype(&::archive_error_string) archive_error_string = nullptr;
    decltype(&::archive_entry_pathname) archive_entry_pathname = nullptr;
    decltype(&::archive_entry_pathname_utf8) archive_entry_pathname_utf8 = nullptr;
    decltype(&::archive_entry_filetype) archive_entry_filetype = nullptr;
    decltype(&::archive_entry_perm) archive_entry_perm = nullptr;
    decltype(&::archive_entry_hardlink) archive_entry_hardlink = nullptr;
    decltype(&::archive_entry_symlink) archive_entry_symlink = nullptr;
    decltype(&::archive_entry_size) archive_entry_size = nullptr;
    decltype(&::archive_entry_size_is_set) archive_entry_size_is_set = nullptr;
    decltype(&::archive_entry_mtime) archive_entry_mtime = nullptr;
    decltype(&::archive_entry_mtime_nsec) archive_entry_mtime_nsec = nullptr;
    decltype(&::archive_entry_mtime_is_set) archive_entry_mtime_is_set = nullptr;

    ArchiveApi() {
        VORPANE_DYN_FN(lib, archive_read_new);
        VORPANE_DYN_FN(lib, archive_read_free);
        VORPANE_DYN_FN(lib, archive_read_support_filter_gzip);
        VORPANE_DYN_FN(lib, archive_read_support_format_tar);
        VORPANE_DYN_FN(lib, archive_read_open_fd);
        VORPANE_DYN_FN(lib, archive_read_next_header);
        VORPANE_DYN_FN(lib, archive_read_data_block);
        VORPANE_DYN_FN(lib, archive_error_string);
        VORPANE_DYN_FN(lib, archive_entry_pathname);
        VORPANE_DYN_FN(lib, archive_entry_pathname_utf8);
        VORPANE_DYN_FN(lib, archive_entry_filetype);
        VORPANE_DYN_FN(lib, archive_entry_perm);
        VORPANE_DYN_FN(lib, archive_entry_hardlink);
        VORPANE_DYN_FN(lib, archive_entry_symlink);
        VORPANE_DYN_FN(lib, archive_entry_size);
        VORPANE_DYN_FN(lib, archive_entry_size_is_set);
        VORPANE_DYN_FN(lib, archive_entry_mtime);
        VORPANE_DYN_FN(lib, archive_entry_mtime_nsec);
        VORPANE_DYN_FN(lib, archive_entry_mtime_is_set);
    }
};

// The process's libarchive, loaded on the first call. Throws std::runtime_error when it cannot be.
const ArchiveApi& archive_api();

// A read handle, freed on destruction.
class ArchiveReader {
  public:
    explicit ArchiveReader(const ArchiveApi& api) : m_api(api), m_archive(api.archive_read_new()) {
        if (m_archive == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~ArchiveReader() { m_api.archive_read_free(m_archive); }
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    [[nodiscard]] archive* get() const noexcept { return m_archive; }

  private:
    const ArchiveApi& m_api;
    archive* m_archive;
};

// The most an archive may unpack to, and how to name that bound in a message.
struct UnpackBound {
    std::uint64_t bytes = 0;
    std::string description;
};

// The lower of `max_bytes` and 95 % of the space free where `root` lives.
UnpackBound unpack_bound(int root, std::uint64_t max_bytes);

// A member name as messages show it: quoted, control characters escaped.
std::string quote_name(std::string_view text);

// Writes the members that `reader` yields below the directory `root` under the extraction policy
// of extract_tar_gz_safely, and remembers the symbolic links it made.
class Extractor {
  public:
    Extractor(const ArchiveApi& api,
              archive* reader,
              int root,
              std::string_view archive_name,
              UnpackBound bound);
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    // Unpacks every member below the root; throws at the first one that fails.
    void run();
    // Throws ArchiveMemberRefused, giving `reason`, for the first link made by run() that, seen
    // from the directory `root`, points outside it.
    void check_links(int root, const std::string& reason) const;

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vorpane::extract

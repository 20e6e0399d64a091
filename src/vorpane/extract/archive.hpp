#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpane::extract {

// An archive that cannot be read: corrupt or truncated compressed data, a damaged tar stream,
// or a member that cannot be placed (a file where a directory is needed). The message is one line.
class ArchiveError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An archive that would unpack to more than its bound (see extract_tar_gz_safely).
class ArchiveTooLarge : public ArchiveError {
  public:
    using ArchiveError::ArchiveError;
};

// The most one archive may unpack to unless the caller says otherwise: 16 GiB.
inline constexpr std::uint64_t DEFAULT_MAX_UNPACK_BYTES = std::uint64_t{16} << 30;

// A member that the extraction policy refuses (it would land or link outside the target, or is a
// device, FIFO or socket). The message is one line naming the member; `member()` is its raw name.
class ArchiveMemberRefused : public std::runtime_error {
  public:
    ArchiveMemberRefused(std::string member, const std::string& message)
        : std::runtime_error(message), m_member(std::move(member)) {}
    [[nodiscard]] const std::string& member() const noexcept { return m_member; }

  private:
    std::string m_member;
};

// Unpacks the gzip-compressed tar archive read from `fd` (from its current offset; the descriptor
// stays open) into `target`, whose parents are created as needed; `target` itself must not be a
// symbolic link. All or nothing: the members go to a private staging directory beside `target`
// (".vorpane-staging-*", mode 0700, inside `target` when it is a mount point), and only when every
// one of them has been accepted and written are they moved in by renames: a file or link replaces
// an entry of the same name, directories merge, and whatever else is in `target` stays. After any
// failure `target` is as it was (not even created) and the staging directory is gone. Staging
// directories that a killed run left behind are removed by the next extraction beside them: a
// run holds a lock on its own until it ends (where locks are not supported, one untouched for an
// hour counts as left behind).
// Policy: a leading "/" is removed from member names; each name is walked the way the kernel
// would walk it below `target` (links on disk followed, a ".." after a link climbing from where
// the link leads), and members that end up outside `target` or pass through a symbolic link are
// refused, as are links whose target is absolute or outside `target` (also beside what is already
// in `target`) and device, FIFO and socket members; setuid, setgid and sticky bits and
// group/other write are dropped; regular files get owner read/write and lose all execute bits
// when the owner has none; directories get the default mode; owners are not applied.
// `archive_name`, when given, names the archive in messages (escaped, as are member names).
// Size bound: the bytes actually written (not what headers announce) may total at most
// `max_bytes` and at most 95 % of the space free on the staging file system when unpacking
// starts. Going past it throws ArchiveTooLarge; running out of space throws std::system_error
// (ENOSPC).
// Throws ArchiveMemberRefused, ArchiveTooLarge, ArchiveError (also when a non-empty directory in
// `target` is in the way of a file), std::system_error (file system), std::runtime_error when
// libarchive cannot be loaded.
void extract_tar_gz_safely(int fd,
                           const std::filesystem::path& target,
                           std::string_view archive_name = {},
                           std::uint64_t max_bytes = DEFAULT_MAX_UNPACK_BYTES);

// The same for the archive file at `archive`; throws std::system_error when it cannot be opened.
void extract_tar_gz_safely(const std::filesystem::path& archive,
                           const std::filesystem::path& target,
                           std::string_view archive_name = {},
                           std::uint64_t max_bytes = DEFAULT_MAX_UNPACK_BYTES);

} // namespace vorpane::extract

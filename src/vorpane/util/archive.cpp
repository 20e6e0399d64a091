#include "vorpane/util/archive.hpp"

#include "vorpane/util/c_handle.hpp"
#include "vorpane/util/dynlib.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/path_walk.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/signals.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>
#include <vector>

namespace vorpane::util {

namespace {

namespace fs = std::filesystem;

struct ArchiveApi {
    DynLib lib{{"libarchive.so.13", "libarchive.13.dylib"}};
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

const ArchiveApi& archive_api() {
    static const ArchiveApi api;
    return api;
}

using Fd = UniqueFd;

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

using Components = PathComponents;

// Member names come from an untrusted archive and end up in one-line messages on a terminal.
std::string quote_name(std::string_view text) {
    return "'" + escape_control(text) + "'";
}

Fd open_directory_nofollow(int dir, const char* name) noexcept {
    return Fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The names in the directory `dir` (but "." and ".."); throws std::system_error.
std::vector<std::string> list_names(int dir) {
    const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* stream = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (stream == nullptr) {
        if (copy >= 0) {
            ::close(copy);
        }
        throw_errno(errno, "Cannot read a directory");
    }
    const CHandle<DIR, ::closedir> guard(stream);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    return names;
}

// Removes `name` in `parent` with everything below it, never following a link. Walks down one
// directory at a time and back up through "..", checked against where it came from, so that
// however deep the tree is only two descriptors are open. False when something stayed.
bool remove_tree(int parent, const std::string& name) noexcept {
    if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) {
        return true;
    }
    if (errno != EISDIR && errno != EPERM) {
        return false;
    }
    struct Level {
        std::string name;
        std::vector<std::string> subdirectories;
        dev_t device;
        ino_t inode;
    };
    try {
        std::vector<Level> levels;
        Fd current;
        auto enter = [&](int from, const std::string& child) {
            Fd dir = open_directory_nofollow(from, child.c_str());
            struct stat st {};
            if (!dir || ::fstat(dir.get(), &st) != 0) {
                return false;
            }
            if ((st.st_mode & S_IRWXU) != S_IRWXU) {
                (void)::fchmod(dir.get(), (st.st_mode & 07777) | S_IRWXU);
            }
            Level level{child, {}, st.st_dev, st.st_ino};
            for (const auto& entry : list_names(dir.get())) {
                if (::unlinkat(dir.get(), entry.c_str(), 0) == 0 || errno == ENOENT) {
                    continue;
                }
                if (errno != EISDIR && errno != EPERM) {
                    return false;
                }
                level.subdirectories.push_back(entry);
            }
            levels.push_back(std::move(level));
            current = std::move(dir);
            return true;
        };
        if (!enter(parent, name)) {
            return false;
        }
        while (!levels.empty()) {
            if (!levels.back().subdirectories.empty()) {
                const std::string child = std::move(levels.back().subdirectories.back());
                levels.back().subdirectories.pop_back();
                if (!enter(current.get(), child)) {
                    return false;
                }
                continue;
            }
            const std::string done = std::move(levels.back().name);
            levels.pop_back();
            if (levels.empty()) {
                return ::unlinkat(parent, done.c_str(), AT_REMOVEDIR) == 0;
            }
            Fd up(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat st {};
            if (!up || ::fstat(up.get(), &st) != 0 || st.st_dev != levels.back().device ||
                st.st_ino != levels.back().inode ||
                ::unlinkat(up.get(), done.c_str(), AT_REMOVEDIR) != 0) {
                return false;
            }
            current = std::move(up);
        }
        return true;
    } catch (...) {
        return false;
    }
}

// The most an archive may unpack to, and how to name that bound in a message.
struct UnpackBound {
    std::uint64_t bytes = 0;
    std::string description;
};

mode_t data_file_mode(mode_t stored) {
    mode_t mode = stored & 0755;
    if ((mode & S_IXUSR) == 0) {
        mode &= ~static_cast<mode_t>(0111);
    }
    return mode | 0600;
}

void write_at(int fd, const void* data, size_t size, off_t offset, const std::string& member) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, bytes, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_errno(errno, "Cannot write " + member);
        }
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
}

class Extractor {
  public:
    Extractor(const ArchiveApi& api,
              archive* reader,
              int root,
              std::string_view archive_name,
              UnpackBound bound)
        : m_api(api), m_reader(reader), m_root(root), m_walker(root),
          m_label(archive_name.empty() ? std::string("the archive")
                                       : "the archive " + quote_name(archive_name)),
          m_bound(std::move(bound)) {}

    // Unpacks every member below the root; throws at the first one that fails.
    void run() {
        for (;;) {
            archive_entry* entry = nullptr;
            const int status = m_api.archive_read_next_header(m_reader, &entry);
            if (status == ARCHIVE_EOF) {
                break;
            }
            if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
                throw_archive_error();
            }
            extract(entry);
        }
        check_links(m_root, "a later member makes it point outside the target directory");
    }

    // Throws ArchiveMemberRefused, naming the first link of the archive that leads outside `root`
    // (which holds the members at the same places as the extraction root).
    void check_links(int root, const std::string& reason) const {
        DirectoryWalker walker(root);
        for (const auto& [member, path] : m_links) {
            const Placement resolved = walker.resolve(path);
            if (resolved.kind == Placement::Kind::failed) {
                refuse(member, cannot_check(resolved));
            }
            if (resolved.kind != Placement::Kind::inside) {
                refuse(member, reason);
            }
        }
    }

  private:
    [[noreturn]] void throw_archive_error() const {
        const char* message = m_api.archive_error_string(m_reader);
        throw ArchiveError("Cannot unpack " + m_label + ": " +
                           (message != nullptr ? message : "unknown error"));
    }

    [[noreturn]] void refuse(const std::string& member, const std::string& reason) const {
        throw ArchiveMemberRefused(member, "Refusing to extract " + quote_name(member) + " from " +
                                               m_label + ": " + reason);
    }

    // Why a walk that failed could not tell where a member would go.
    static std::string cannot_check(const Placement& failed) {
        return "cannot look up " + quote_name(failed.at) + ": " +
               std::generic_category().message(failed.error);
    }

    [[noreturn]] void conflict(const std::string& member, const std::string& reason) const {
        throw ArchiveError("Cannot extract " + quote_name(member) + " from " + m_label + ": " +
                           reason);
    }

    // Counts `bytes` about to be written for `member`; throws ArchiveTooLarge past the bound.
    void account(const std::string& member, std::uint64_t bytes) {
        if (bytes > m_bound.bytes - m_written) {
            throw ArchiveTooLarge("Refusing to unpack " + m_label + ": at " + quote_name(member) +
                                  " it unpacks to more than " + m_bound.description +
                                  "; nothing of it was kept");
        }
        m_written += bytes;
    }

    void extract(archive_entry* entry) {
        const char* raw = m_api.archive_entry_pathname(entry);
        if (raw == nullptr) {
            raw = m_api.archive_entry_pathname_utf8(entry);
        }
        if (raw == nullptr) {
            throw ArchiveError("Cannot unpack " + m_label + ": a member has no readable name");
        }
        const std::string name = raw;
        std::string_view relative = name;
        while (!relative.empty() && relative.front() == '/') {
            relative.remove_prefix(1);
        }
        const Placement placement = m_walker.place(relative);
        switch (placement.kind) {
        case Placement::Kind::outside:
            refuse(name, "it would end up outside the target directory");
        case Placement::Kind::through_link:
            refuse(name,
                   "it would be written through the symbolic link " + quote_name(placement.at));
        case Placement::Kind::not_directory:
            conflict(name, quote_name(placement.at) + " is not a directory");
        case Placement::Kind::missing:
        case Placement::Kind::failed:
            refuse(name, cannot_check(placement));
        case Placement::Kind::inside:
            break;
        }
        const Components& parts = placement.parts;
        const char* hardlink = m_api.archive_entry_hardlink(entry);
        const auto type = m_api.archive_entry_filetype(entry);
        if (hardlink == nullptr) {
            if (type == AE_IFCHR || type == AE_IFBLK) {
                refuse(name, "it is a device");
            }
            if (type == AE_IFIFO) {
                refuse(name, "it is a FIFO");
            }
            if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
                refuse(name, "it is neither a file, a directory nor a link");
            }
        }
        if (parts.empty()) {
            if (hardlink == nullptr && type == AE_IFDIR) {
                return;
            }
            refuse(name, "it would replace the target directory itself");
        }
        if (hardlink != nullptr) {
            extract_hardlink(name, parts, hardlink, entry);
        } else if (type == AE_IFDIR) {
            extract_directory(name, parts);
        } else if (type == AE_IFLNK) {
            extract_symlink(name, parts, entry);
        } else {
            extract_file(name, parts, entry);
        }
    }

    // The directory holding the first `count` of `parts`, walked one component at a time without
    // following links; missing directories are created when `create`. Valid until the walker
    // moves on.
    int
    open_directory(const std::string& member, const Components& parts, size_t count, bool create) {
        const Placement opened = m_walker.open(parts, count, create);
        switch (opened.kind) {
        case Placement::Kind::inside:
            break;
        case Placement::Kind::outside:
        case Placement::Kind::through_link:
            refuse(member,
                   "it would be written through the symbolic link " + quote_name(opened.at));
        case Placement::Kind::not_directory:
            conflict(member, quote_name(opened.at) + " is not a directory");
        case Placement::Kind::missing:
            conflict(member, quote_name(opened.at) + " does not exist");
        case Placement::Kind::failed:
            throw_errno(opened.error,
                        "Cannot extract " + quote_name(member) + " at " + quote_name(opened.at));
        }
        return m_walker.fd();
    }

    // Clears the way for a new entry named `name` in `dir`: files and links are removed (never
    // written through), an empty directory too.
    void remove_existing(const std::string& member, int dir, const std::string& name) const {
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return;
            }
            throw_errno(errno, "Cannot extract " + quote_name(member));
        }
        if (S_ISDIR(st.st_mode)) {
            if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) {
                if (errno == ENOTEMPTY || errno == EEXIST) {
                    conflict(member, "a directory of that name is in the way");
                }
                throw_errno(errno, "Cannot extract " + quote_name(member));
            }
            return;
        }
        if (::unlinkat(dir, name.c_str(), 0) != 0) {
            throw_errno(errno, "Cannot extract " + quote_name(member));
        }
    }

    void extract_directory(const std::string& member, const Components& parts) {
        const int parent = open_directory(member, parts, parts.size() - 1, true);
        const std::string& base = parts.back();
        struct stat st {};
        if (::fstatat(parent, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode)) {
                return;
            }
            remove_existing(member, parent, base);
        } else if (errno != ENOENT) {
            throw_errno(errno, "Cannot extract " + quote_name(member));
        }
        if (::mkdirat(parent, base.c_str(), 0777) != 0 && errno != EEXIST) {
            throw_errno(errno, "Cannot create " + quote_name(member));
        }
    }

    void extract_file(const std::string& member, const Components& parts, archive_entry* entry) {
        const int parent = open_directory(member, parts, parts.size() - 1, true);
        const std::string& base = parts.back();
        Fd file;
        for (int attempt = 0; !file; ++attempt) {
            file = Fd(::openat(parent, base.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file) {
                break;
            }
            if (errno != EEXIST || attempt > 0) {
                throw_errno(errno, "Cannot create " + quote_name(member));
            }
            remove_existing(member, parent, base);
        }
        // Counted as written: the sizes in the headers are the archive's word only.
        std::uint64_t end = 0;
        for (;;) {
            const void* data = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            int status = m_api.archive_read_data_block(m_reader, &data, &size, &offset);
            if (status == ARCHIVE_EOF) {
                break;
            }
            if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
                throw_archive_error();
            }
            account(member, size);
            write_at(file.get(), data, size, static_cast<off_t>(offset), quote_name(member));
            end = std::max(end, static_cast<std::uint64_t>(offset) + size);
        }
        // Sparse members can end in a hole that no data block covers.
        if (m_api.archive_entry_size_is_set(entry) != 0) {
            const auto size = static_cast<std::uint64_t>(
                std::max<la_int64_t>(m_api.archive_entry_size(entry), 0));
            if (size > end) {
                account(member, size - end);
            }
            if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0) {
                throw_errno(errno, "Cannot write " + quote_name(member));
            }
        }
        if (::fchmod(file.get(), data_file_mode(m_api.archive_entry_perm(entry))) != 0) {
            throw_errno(errno, "Cannot set the mode of " + quote_name(member));
        }
        if (m_api.archive_entry_mtime_is_set(entry) != 0) {
            std::array<timespec, 2> times{};
            times[0].tv_nsec = UTIME_OMIT;
            times[1].tv_sec = m_api.archive_entry_mtime(entry);
            times[1].tv_nsec = m_api.archive_entry_mtime_nsec(entry);
            (void)::futimens(file.get(), times.data());
        }
    }

    void extract_symlink(const std::string& member, const Components& parts, archive_entry* entry) {
        const char* raw_target = m_api.archive_entry_symlink(entry);
        const std::string target = raw_target != nullptr ? raw_target : "";
        if (target.empty()) {
            conflict(member, "it is a link without a target");
        }
        if (target.front() == '/') {
            refuse(member, "it links to the absolute path " + quote_name(target));
        }
        const Placement resolved =
            m_walker.resolve(join_path(parts, parts.size() - 1) + "/" + target);
        if (resolved.kind == Placement::Kind::failed) {
            refuse(member, cannot_check(resolved));
        }
        if (resolved.kind != Placement::Kind::inside) {
            refuse(member,
                   "its link target " + quote_name(target) + " is outside the target directory");
        }
        const int parent = open_directory(member, parts, parts.size() - 1, true);
        remove_existing(member, parent, parts.back());
        if (::symlinkat(target.c_str(), parent, parts.back().c_str()) != 0) {
            throw_errno(errno, "Cannot create the link " + quote_name(member));
        }
        m_links.emplace_back(member, join_path(parts));
    }

    void extract_hardlink(const std::string& member,
                          const Components& parts,
                          const char* raw_target,
                          archive_entry* entry) {
        const std::string target = raw_target;
        if (!target.empty() && target.front() == '/') {
            refuse(member, "it is a hard link to the absolute path " + quote_name(target));
        }
        const Placement source = m_walker.resolve(target);
        if (source.kind == Placement::Kind::failed) {
            refuse(member, cannot_check(source));
        }
        if (source.kind != Placement::Kind::inside) {
            refuse(member,
                   "its link target " + quote_name(target) + " is outside the target directory");
        }
        if (source.parts.empty()) {
            conflict(member, "it is a hard link to the target directory");
        }
        Fd source_parent;
        if (source.parts != parts) {
            source_parent =
                Fd(::fcntl(open_directory(member, source.parts, source.parts.size() - 1, false),
                           F_DUPFD_CLOEXEC, 0));
            if (!source_parent) {
                throw_errno(errno, "Cannot extract " + quote_name(member));
            }
        }
        const int parent = open_directory(member, parts, parts.size() - 1, true);
        const std::string& base = parts.back();
        if (source_parent) {
            remove_existing(member, parent, base);
            if (::linkat(source_parent.get(), source.parts.back().c_str(), parent, base.c_str(),
                         0) != 0) {
                if (errno == ENOENT) {
                    conflict(member,
                             "the file " + quote_name(target) + " it links to does not exist");
                }
                throw_errno(errno, "Cannot create the hard link " + quote_name(member));
            }
        }
        struct stat st {};
        if (::fstatat(parent, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            throw_errno(errno, "Cannot extract " + quote_name(member));
        }
        if (S_ISREG(st.st_mode)) {
            if (::fchmodat(parent, base.c_str(), data_file_mode(m_api.archive_entry_perm(entry)),
                           0) != 0) {
                throw_errno(errno, "Cannot set the mode of " + quote_name(member));
            }
        }
    }

    const ArchiveApi& m_api;
    archive* m_reader;
    int m_root;
    DirectoryWalker m_walker;
    std::string m_label;
    UnpackBound m_bound;
    std::uint64_t m_written = 0;
    // The archive's symbolic links: a link that was inside when it was made can point outside
    // once a later member replaces a directory it passes through.
    std::vector<std::pair<std::string, std::string>> m_links;
};

// The lower of `max_bytes` and 95 % of the space free where `root` lives.
UnpackBound unpack_bound(int root, std::uint64_t max_bytes) {
    UnpackBound bound{max_bytes, "the " + std::to_string(max_bytes) + " bytes allowed"};
    struct statvfs fs {};
    if (::fstatvfs(root, &fs) == 0) {
        const auto avail = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
        const std::uint64_t usable = avail - avail / 20;
        if (usable < bound.bytes) {
            bound = {usable, "the " + std::to_string(usable) +
                                 " bytes the target's file system has free (less 5 %)"};
        }
    }
    return bound;
}

constexpr std::string_view k_staging_prefix = ".vorpane-staging-";

// Removes the staging directories in `dir` that no run is using any more: their creator holds a
// lock on them for as long as it lives, and the kernel drops it however the creator ends. Where
// the file system cannot lock, one untouched for an hour counts as left behind.
void remove_stale_staging(int dir) noexcept {
    constexpr time_t unlockable_after = 3600;
    try {
        for (const auto& name : list_names(dir)) {
            if (name.rfind(k_staging_prefix, 0) != 0) {
                continue;
            }
            const Fd staged = open_directory_nofollow(dir, name.c_str());
            struct stat st {};
            if (!staged || ::fstat(staged.get(), &st) != 0 || st.st_uid != ::geteuid()) {
                continue;
            }
            if (::flock(staged.get(), LOCK_EX | LOCK_NB) == 0 ||
                (errno != EWOULDBLOCK && ::time(nullptr) - st.st_mtime > unlockable_after)) {
                (void)remove_tree(dir, name);
            }
        }
    } catch (...) { // NOLINT(bugprone-empty-catch): clean-up is best effort
    }
}

// A private directory (mode 0700) beside the target, locked while this object lives: `tree`
// receives the members, `displaced` what they replace in the target until the move is final.
// Removed with all it holds on destruction.
class Staging {
  public:
    Staging(const fs::path& dir_path, int dir) : m_dir(dir) {
        for (int attempt = 0; !m_fd; ++attempt) {
            std::string name = (dir_path / (std::string(k_staging_prefix) + "XXXXXX")).string();
            if (::mkdtemp(name.data()) == nullptr) {
                throw_errno(errno, "Cannot create a staging directory in " +
                                       quote_name(dir_path.string()));
            }
            m_name = fs::path(name).filename().string();
            m_fd = open_directory_nofollow(dir, m_name.c_str());
            while (m_fd && ::flock(m_fd.get(), LOCK_EX) != 0 && errno == EINTR) {
            }
            // Another run may have taken it for abandoned before the lock was ours.
            struct stat st {};
            if (m_fd && (::fstat(m_fd.get(), &st) != 0 || st.st_nlink == 0)) {
                m_fd.reset();
            }
            if (!m_fd && attempt >= 3) {
                throw_errno(ENOENT, "Cannot create a staging directory in " +
                                        quote_name(dir_path.string()));
            }
        }
        m_tree = make("tree");
        m_displaced = make("displaced");
    }
    ~Staging() {
        m_tree.reset();
        m_displaced.reset();
        (void)remove_tree(m_dir, m_name);
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    [[nodiscard]] int tree() const noexcept { return m_tree.get(); }
    [[nodiscard]] int displaced() const noexcept { return m_displaced.get(); }

  private:
    Fd make(const char* name) {
        Fd made;
        if (::mkdirat(m_fd.get(), name, 0700) == 0) {
            made = open_directory_nofollow(m_fd.get(), name);
        }
        if (!made) {
            throw_errno(errno, "Cannot create a staging directory");
        }
        return made;
    }

    int m_dir;
    std::string m_name;
    Fd m_fd;
    Fd m_tree;
    Fd m_displaced;
};

// Moves what the staging tree holds into the target: a file or link replaces an entry of the
// same name, directories merge, anything else in the target stays. Every step is a rename within
// one file system, and undo() puts back what the steps changed.
class Merge {
  public:
    Merge(std::string label, int staged, int displaced, int target)
        : m_label(std::move(label)), m_staged(staged), m_displaced(displaced), m_target(target) {}

    // Throws ArchiveError when a non-empty directory is in the way, std::system_error.
    void run() {
        // Depth first, so that each directory to merge is a child of one on the current path and
        // the walkers only ever step one level down or climb back.
        DirectoryWalker from(m_staged);
        DirectoryWalker into(m_target);
        Components dir;
        std::vector<std::pair<size_t, std::string>> pending{{0, {}}};
        while (!pending.empty()) {
            auto [depth, name] = std::move(pending.back());
            pending.pop_back();
            dir.resize(depth);
            if (!name.empty()) {
                dir.push_back(std::move(name));
            }
            const Placement in_staging = from.open(dir, dir.size(), false);
            const Placement in_target = into.open(dir, dir.size(), false);
            if (in_staging.kind != Placement::Kind::inside ||
                in_target.kind != Placement::Kind::inside) {
                throw_errno(in_staging.error != 0 ? in_staging.error : in_target.error,
                            "Cannot open " + quote_name(join_path(dir)));
            }
            std::string path = join_path(dir);
            for (auto& entry : list_names(from.fd())) {
                if (merge_entry(from.fd(), into.fd(), path, entry)) {
                    pending.emplace_back(dir.size(), std::move(entry));
                }
            }
        }
    }

    void undo() noexcept {
        try {
            DirectoryWalker from(m_staged);
            DirectoryWalker into(m_target);
            for (size_t i = m_steps.size(); i-- > 0;) {
                const Step& step = m_steps[i];
                const Components dir = split_path(m_directories[step.directory]);
                if (into.open(dir, dir.size(), false).kind != Placement::Kind::inside) {
                    continue;
                }
                if (step.moved &&
                    from.open(dir, dir.size(), false).kind == Placement::Kind::inside) {
                    (void)::renameat(into.fd(), step.name.c_str(), from.fd(), step.name.c_str());
                }
                if (!step.displaced.empty()) {
                    (void)::renameat(m_displaced, step.displaced.c_str(), into.fd(),
                                     step.name.c_str());
                }
            }
        } catch (...) { // NOLINT(bugprone-empty-catch): putting back is best effort
        }
        m_steps.clear();
    }

  private:
    struct Step {
        size_t directory; // in m_directories
        std::string name;
        std::string displaced; // the name the replaced entry was kept under, if any
        bool moved = false;
    };

    // Places `name` of the directory `dir` (open as `from` in the staging tree and as `into` in
    // the target); true when both are directories still to merge.
    bool merge_entry(int from, int into, const std::string& dir, const std::string& name) {
        const std::string shown = quote_name(dir.empty() ? name : dir + "/" + name);
        struct stat staged {};
        struct stat existing {};
        if (::fstatat(from, name.c_str(), &staged, AT_SYMLINK_NOFOLLOW) != 0) {
            throw_errno(errno, "Cannot read the staged " + shown);
        }
        if (m_directories.empty() || m_directories.back() != dir) {
            m_directories.push_back(dir);
        }
        Step step{m_directories.size() - 1, name, {}, false};
        if (::fstatat(into, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(existing.st_mode)) {
                if (S_ISDIR(staged.st_mode)) {
                    return true;
                }
                const Fd in_the_way = open_directory_nofollow(into, name.c_str());
                if (!in_the_way || !list_names(in_the_way.get()).empty()) {
                    throw ArchiveError("Cannot extract " + shown + " from " + m_label +
                                       ": a directory of that name is in the way");
                }
            }
            step.displaced = std::to_string(m_steps.size());
            if (::renameat(into, name.c_str(), m_displaced, step.displaced.c_str()) != 0) {
                throw_errno(errno, "Cannot replace " + shown);
            }
        } else if (errno != ENOENT) {
            throw_errno(errno, "Cannot extract " + shown);
        }
        m_steps.push_back(std::move(step));
        if (::renameat(from, name.c_str(), into, name.c_str()) != 0) {
            throw_errno(errno, "Cannot move " + shown + " into place");
        }
        m_steps.back().moved = true;
        return false;
    }

    std::string m_label;
    int m_staged;
    int m_displaced;
    int m_target;
    std::vector<Step> m_steps;
    std::vector<std::string> m_directories; // the directories that steps were taken in
};

// Where an extraction goes: the target (when it exists), and the directory that holds it, or
// the target itself when it is a mount point or the root, since renames cannot cross file systems.
struct Destination {
    fs::path path;
    Fd parent;
    std::string name; // the target's name in `parent`; empty for the root
    Fd target;
    fs::path staging_path;
    int staging_dir = -1;
};

Destination open_destination(const fs::path& target) {
    Destination out;
    out.path = target.lexically_normal();
    if (!out.path.has_filename()) {
        out.path = out.path.parent_path();
    }
    if (out.path.empty() || out.path.filename() == "." || out.path.filename() == "..") {
        out.path = fs::canonical(out.path.empty() ? fs::path(".") : out.path);
    }
    fs::path parent = out.path.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    fs::create_directories(parent);
    out.parent = Fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!out.parent) {
        throw_errno(errno, "Cannot open the directory " + quote_name(parent.string()));
    }
    out.name = out.path.filename().string();
    struct stat st {};
    if (out.name.empty()) {
        out.target = Fd(::open(out.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else if (::fstatat(out.parent.get(), out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            throw_errno(ELOOP,
                        "Refusing to unpack into the symbolic link " + quote_name(target.string()));
        }
        out.target = open_directory_nofollow(out.parent.get(), out.name.c_str());
        if (!out.target) {
            throw_errno(errno, "Cannot open the directory " + quote_name(target.string()));
        }
    } else if (errno != ENOENT) {
        throw_errno(errno, "Cannot open the directory " + quote_name(target.string()));
    }
    struct stat parent_st {};
    const bool own_file_system =
        out.target && (out.name.empty() || ::fstat(out.target.get(), &st) != 0 ||
                       ::fstat(out.parent.get(), &parent_st) != 0 || st.st_dev != parent_st.st_dev);
    out.staging_path = own_file_system ? out.path : parent;
    out.staging_dir = own_file_system ? out.target.get() : out.parent.get();
    return out;
}

} // namespace

void extract_tar_gz_safely(int fd,
                           const std::filesystem::path& target,
                           std::string_view archive_name,
                           std::uint64_t max_bytes) {
    const ArchiveApi& api = archive_api();
    Destination destination = open_destination(target);
    ArchiveReader reader(api);
    const std::string label = archive_name.empty() ? std::string("the archive")
                                                   : "the archive " + quote_name(archive_name);
    if (api.archive_read_support_filter_gzip(reader.get()) != ARCHIVE_OK ||
        api.archive_read_support_format_tar(reader.get()) != ARCHIVE_OK ||
        api.archive_read_open_fd(reader.get(), fd, size_t{64} * 1024) != ARCHIVE_OK) {
        const char* message = api.archive_error_string(reader.get());
        throw ArchiveError("Cannot unpack " + label + ": " +
                           (message != nullptr ? message : "unknown error"));
    }
    remove_stale_staging(destination.staging_dir);
    const Staging staging(destination.staging_path, destination.staging_dir);
    Extractor extractor(api, reader.get(), staging.tree(), archive_name,
                        unpack_bound(staging.tree(), max_bytes));
    extractor.run();

    // From here the target changes: a shutdown signal waits until the move-in is complete or
    // rolled back, so the target never holds a mix of old and new files.
    const DeferSignals moving_in;
    const int parent = destination.parent.get();
    const char* name = destination.name.c_str();
    bool created = !destination.target;
    if (created) {
        if (::mkdirat(parent, name, 0777) != 0) {
            // Another run may have made it since it was looked for: a directory does as well,
            // and anything else fails the open below.
            if (errno != EEXIST) {
                throw_errno(errno, "Cannot create " + quote_name(target.string()));
            }
            created = false;
        }
        destination.target = open_directory_nofollow(parent, name);
        if (!destination.target) {
            const int error = errno;
            if (created) {
                (void)::unlinkat(parent, name, AT_REMOVEDIR);
            }
            throw_errno(error, "Cannot open the directory " + quote_name(target.string()));
        }
    }
    Merge merge(label, staging.tree(), staging.displaced(), destination.target.get());
    try {
        merge.run();
        extractor.check_links(destination.target.get(),
                              "it would point outside the target directory beside what is there");
    } catch (...) {
        merge.undo();
        if (created) {
            (void)::unlinkat(parent, name, AT_REMOVEDIR);
        }
        throw;
    }
}

void extract_tar_gz_safely(const std::filesystem::path& archive,
                           const std::filesystem::path& target,
                           std::string_view archive_name,
                           std::uint64_t max_bytes) {
    Fd fd(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw_errno(errno, "Cannot open " + quote_name(archive.string()));
    }
    extract_tar_gz_safely(fd.get(), target, archive_name, max_bytes);
}

} // namespace vorpane::util

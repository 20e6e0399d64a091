#include "vorpane/extract/extractor.hpp"

#include "vorpane/extract/archive.hpp"
#include "vorpane/extract/path_walk.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

namespace vorpane::extract {

const ArchiveApi& archive_api() {
    static const ArchiveApi api;
    return api;
}

std::string quote_name(std::string_view text) {
    // Member names come from an untrusted archive and end up in one-line messages on a terminal.
    return "'" + util::escape_control(text) + "'";
}

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

namespace {

using Fd = util::UniqueFd;
using Components = PathComponents;

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
            util::throw_errno(errno, "Cannot write " + member);
        }
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
}

} // namespace

class Extractor::Impl {
  public:
    Impl(const ArchiveApi& api,
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
            util::throw_errno(opened.error, "Cannot extract " + quote_name(member) + " at " +
                                                quote_name(opened.at));
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
            util::throw_errno(errno, "Cannot extract " + quote_name(member));
        }
        if (S_ISDIR(st.st_mode)) {
            if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) {
                if (errno == ENOTEMPTY || errno == EEXIST) {
                    conflict(member, "a directory of that name is in the way");
                }
                util::throw_errno(errno, "Cannot extract " + quote_name(member));
            }
            return;
        }
        if (::unlinkat(dir, name.c_str(), 0) != 0) {
            util::throw_errno(errno, "Cannot extract " + quote_name(member));
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
            util::throw_errno(errno, "Cannot extract " + quote_name(member));
        }
        if (::mkdirat(parent, base.c_str(), 0777) != 0 && errno != EEXIST) {
            util::throw_errno(errno, "Cannot create " + quote_name(member));
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
                util::throw_errno(errno, "Cannot create " + quote_name(member));
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
                util::throw_errno(errno, "Cannot write " + quote_name(member));
            }
        }
        if (::fchmod(file.get(), data_file_mode(m_api.archive_entry_perm(entry))) != 0) {
            util::throw_errno(errno, "Cannot set the mode of " + quote_name(member));
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
            util::throw_errno(errno, "Cannot create the link " + quote_name(member));
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
                util::throw_errno(errno, "Cannot extract " + quote_name(member));
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
                util::throw_errno(errno, "Cannot create the hard link " + quote_name(member));
            }
        }
        struct stat st {};
        if (::fstatat(parent, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            util::throw_errno(errno, "Cannot extract " + quote_name(member));
        }
        if (S_ISREG(st.st_mode)) {
            if (::fchmodat(parent, base.c_str(), data_file_mode(m_api.archive_entry_perm(entry)),
                           0) != 0) {
                util::throw_errno(errno, "Cannot set the mode of " + quote_name(member));
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

Extractor::Extractor(const ArchiveApi& api,
                     archive* reader,
                     int root,
                     std::string_view archive_name,
                     UnpackBound bound)
    : m_impl(std::make_unique<Impl>(api, reader, root, archive_name, std::move(bound))) {}

Extractor::~Extractor() = default;

void Extractor::run() {
    m_impl->run();
}

void Extractor::check_links(int root, const std::string& reason) const {
    m_impl->check_links(root, reason);
}

} // namespace vorpane::extract

#include "vorpane/util/archive.hpp"

#include "vorpane/util/dynlib.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace vorpane::util {

namespace {

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

using Components = std::vector<std::string>;

// Member names come from an untrusted archive and end up in one-line messages on a terminal.
std::string quote_name(std::string_view text) {
    return "'" + escape_control(text) + "'";
}

Components split_path(std::string_view path) {
    Components parts;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        if (!part.empty()) {
            parts.emplace_back(part);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return parts;
}

// Lexical normalisation; nullopt when ".." climbs above the start.
std::optional<Components> normalize(std::string_view path) {
    Components out;
    for (auto& part : split_path(path)) {
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (out.empty()) {
                return std::nullopt;
            }
            out.pop_back();
            continue;
        }
        out.push_back(std::move(part));
    }
    return out;
}

std::string join(const Components& parts, size_t count) {
    std::string out;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i > 0) {
            out += '/';
        }
        out += parts[i];
    }
    return out;
}

std::string join(const Components& parts) {
    return join(parts, parts.size());
}

[[noreturn]] void throw_errno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Where `path` (relative to the directory `root`) really leads, following the symbolic links
// found on disk the way realpath does; nullopt when it leaves `root` or passes through an
// absolute link or a link loop.
std::optional<Components> resolve_beneath(int root, std::string_view path) {
    constexpr int max_links = 40;
    std::deque<std::string> pending;
    for (auto& part : split_path(path)) {
        pending.push_back(std::move(part));
    }
    Components resolved;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (resolved.empty()) {
                return std::nullopt;
            }
            resolved.pop_back();
            continue;
        }
        resolved.push_back(std::move(part));
        std::string relative = join(resolved);
        struct stat st {};
        if (::fstatat(root, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode)) {
            continue;
        }
        if (++links > max_links) {
            return std::nullopt;
        }
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = ::readlinkat(root, relative.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size()) {
            return std::nullopt;
        }
        target.resize(static_cast<size_t>(n));
        if (target.empty() || target.front() == '/') {
            return std::nullopt;
        }
        resolved.pop_back();
        auto link_parts = split_path(target);
        pending.insert(pending.begin(), link_parts.begin(), link_parts.end());
    }
    return resolved;
}

// ENOSPC and EDQUOT: the disk (or the user's share of it) is full.
bool is_out_of_space(const std::error_code& code) {
    return code.category() == std::generic_category() &&
           (code.value() == ENOSPC || code.value() == EDQUOT);
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
        : m_api(api), m_reader(reader), m_root(root),
          m_label(archive_name.empty() ? std::string("the archive")
                                       : "the archive " + quote_name(archive_name)),
          m_bound(std::move(bound)) {}

    void run() {
        try {
            for (;;) {
                archive_entry* entry = nullptr;
                int status = m_api.archive_read_next_header(m_reader, &entry);
                if (status == ARCHIVE_EOF) {
                    break;
                }
                if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
                    throw_archive_error();
                }
                extract(entry);
            }
            check_links();
        } catch (const ArchiveTooLarge&) {
            remove_created();
            throw;
        } catch (const std::system_error& e) {
            if (is_out_of_space(e.code())) {
                remove_created();
            } else {
                drop_escaping_links();
            }
            throw;
        } catch (...) {
            drop_escaping_links();
            throw;
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

    void record_created(const Components& parts, size_t count, bool directory) {
        m_created.emplace_back(Components(parts.begin(), parts.begin() + static_cast<long>(count)),
                               directory);
    }

    // The directory holding `parts`, reached without following any link; empty on failure.
    [[nodiscard]] Fd open_parent_nofollow(const Components& parts) const noexcept {
        Fd current(::fcntl(m_root, F_DUPFD_CLOEXEC, 0));
        for (size_t i = 0; current && i + 1 < parts.size(); ++i) {
            current = Fd(::openat(current.get(), parts[i].c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        return current;
    }

    // Undoes the extraction, newest entry first: what existed before is never in the list.
    void remove_created() noexcept {
        for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) {
            const auto& [parts, directory] = *it;
            if (Fd parent = open_parent_nofollow(parts)) {
                (void)::unlinkat(parent.get(), parts.back().c_str(), directory ? AT_REMOVEDIR : 0);
            }
        }
        m_created.clear();
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
        auto parts = normalize(relative);
        if (!parts) {
            refuse(name, "it would end up outside the target directory");
        }
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
        if (parts->empty()) {
            if (hardlink == nullptr && type == AE_IFDIR) {
                return;
            }
            refuse(name, "it would replace the target directory itself");
        }
        if (hardlink != nullptr) {
            extract_hardlink(name, *parts, hardlink, entry);
        } else if (type == AE_IFDIR) {
            extract_directory(name, *parts);
        } else if (type == AE_IFLNK) {
            extract_symlink(name, *parts, entry);
        } else {
            extract_file(name, *parts, entry);
        }
    }

    // The directory holding the first `count` of `parts`, walked one component at a time without
    // following links; missing directories are created when `create`.
    Fd
    open_directory(const std::string& member, const Components& parts, size_t count, bool create) {
        Fd current(::fcntl(m_root, F_DUPFD_CLOEXEC, 0));
        if (!current) {
            throw_errno(errno, "Cannot open the target directory");
        }
        for (size_t i = 0; i < count; ++i) {
            const char* part = parts[i].c_str();
            for (int attempt = 0;; ++attempt) {
                int fd =
                    ::openat(current.get(), part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd >= 0) {
                    current = Fd(fd);
                    break;
                }
                const int open_error = errno;
                struct stat st {};
                if (::fstatat(current.get(), part, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    if (errno != ENOENT) {
                        throw_errno(errno, "Cannot extract " + quote_name(member));
                    }
                    if (!create) {
                        conflict(member, quote_name(join(parts, i + 1)) + " does not exist");
                    }
                    if (::mkdirat(current.get(), part, 0777) == 0) {
                        record_created(parts, i + 1, true);
                    } else if (errno != EEXIST) {
                        throw_errno(errno, "Cannot create " + quote_name(join(parts, i + 1)));
                    }
                    if (attempt < 2) {
                        continue;
                    }
                    throw_errno(open_error, "Cannot extract " + quote_name(member));
                }
                if (S_ISLNK(st.st_mode)) {
                    refuse(member, "it would be written through the symbolic link " +
                                       quote_name(join(parts, i + 1)));
                }
                if (!S_ISDIR(st.st_mode)) {
                    conflict(member, quote_name(join(parts, i + 1)) + " is not a directory");
                }
                throw_errno(open_error, "Cannot extract " + quote_name(member));
            }
        }
        return current;
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
        Fd parent = open_directory(member, parts, parts.size() - 1, true);
        const std::string& base = parts.back();
        struct stat st {};
        if (::fstatat(parent.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode)) {
                return;
            }
            remove_existing(member, parent.get(), base);
        }
        if (::mkdirat(parent.get(), base.c_str(), 0777) == 0) {
            record_created(parts, parts.size(), true);
        } else if (errno != EEXIST) {
            throw_errno(errno, "Cannot create " + quote_name(member));
        }
    }

    void extract_file(const std::string& member, const Components& parts, archive_entry* entry) {
        Fd parent = open_directory(member, parts, parts.size() - 1, true);
        const std::string& base = parts.back();
        Fd file;
        for (int attempt = 0; !file; ++attempt) {
            file = Fd(::openat(parent.get(), base.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file) {
                record_created(parts, parts.size(), false);
                break;
            }
            if (errno != EEXIST || attempt > 0) {
                throw_errno(errno, "Cannot create " + quote_name(member));
            }
            remove_existing(member, parent.get(), base);
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
        std::string from_link_directory = join(parts, parts.size() - 1) + "/" + target;
        if (!resolve_beneath(m_root, from_link_directory)) {
            refuse(member,
                   "its link target " + quote_name(target) + " is outside the target directory");
        }
        Fd parent = open_directory(member, parts, parts.size() - 1, true);
        remove_existing(member, parent.get(), parts.back());
        if (::symlinkat(target.c_str(), parent.get(), parts.back().c_str()) != 0) {
            throw_errno(errno, "Cannot create the link " + quote_name(member));
        }
        record_created(parts, parts.size(), false);
        m_links.emplace_back(member, parts);
    }

    void extract_hardlink(const std::string& member,
                          const Components& parts,
                          const char* raw_target,
                          archive_entry* entry) {
        const std::string target = raw_target;
        if (!target.empty() && target.front() == '/') {
            refuse(member, "it is a hard link to the absolute path " + quote_name(target));
        }
        auto source = resolve_beneath(m_root, target);
        if (!source) {
            refuse(member,
                   "its link target " + quote_name(target) + " is outside the target directory");
        }
        if (source->empty()) {
            conflict(member, "it is a hard link to the target directory");
        }
        Fd parent = open_directory(member, parts, parts.size() - 1, true);
        const std::string& base = parts.back();
        if (*source != parts) {
            Fd source_parent = open_directory(member, *source, source->size() - 1, false);
            remove_existing(member, parent.get(), base);
            if (::linkat(source_parent.get(), source->back().c_str(), parent.get(), base.c_str(),
                         0) != 0) {
                if (errno == ENOENT) {
                    conflict(member,
                             "the file " + quote_name(target) + " it links to does not exist");
                }
                throw_errno(errno, "Cannot create the hard link " + quote_name(member));
            }
            record_created(parts, parts.size(), false);
        }
        struct stat st {};
        if (::fstatat(parent.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            if (::fchmodat(parent.get(), base.c_str(),
                           data_file_mode(m_api.archive_entry_perm(entry)), 0) != 0) {
                throw_errno(errno, "Cannot set the mode of " + quote_name(member));
            }
        }
    }

    // A link that was inside when it was made can point outside once a later member replaces a
    // directory it passes through; such links must not survive the extraction.
    void check_links() const {
        for (const auto& [member, parts] : m_links) {
            if (!resolve_beneath(m_root, join(parts))) {
                refuse(member, "a later member makes it point outside the target directory");
            }
        }
    }

    void drop_escaping_links() const noexcept {
        for (const auto& link : m_links) {
            const Components& parts = link.second;
            std::string path = join(parts);
            struct stat st {};
            if (::fstatat(m_root, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode) && !resolve_beneath(m_root, path)) {
                (void)::unlinkat(m_root, path.c_str(), 0);
            }
        }
    }

    const ArchiveApi& m_api;
    archive* m_reader;
    int m_root;
    std::string m_label;
    UnpackBound m_bound;
    std::uint64_t m_written = 0;
    std::vector<std::pair<std::string, Components>> m_links;
    // What this extraction created, oldest first, with whether it is a directory.
    std::vector<std::pair<Components, bool>> m_created;
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

} // namespace

void extract_tar_gz_safely(int fd,
                           const std::filesystem::path& target,
                           std::string_view archive_name,
                           std::uint64_t max_bytes) {
    const ArchiveApi& api = archive_api();
    if (target.has_parent_path()) {
        std::filesystem::create_directories(target.parent_path());
    }
    const bool created = ::mkdir(target.c_str(), 0777) == 0;
    if (!created && errno != EEXIST) {
        throw_errno(errno, "Cannot create " + quote_name(target.string()));
    }
    Fd root(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root) {
        const int error = errno;
        throw_errno(error, (error == ELOOP ? "Refusing to unpack into the symbolic link "
                                           : "Cannot open the directory ") +
                               quote_name(target.string()));
    }
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
    auto remove_target = [&] {
        if (created) {
            (void)::rmdir(target.c_str());
        }
    };
    try {
        Extractor(api, reader.get(), root.get(), archive_name, unpack_bound(root.get(), max_bytes))
            .run();
    } catch (const ArchiveTooLarge&) {
        remove_target();
        throw;
    } catch (const std::system_error& e) {
        if (is_out_of_space(e.code())) {
            remove_target();
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

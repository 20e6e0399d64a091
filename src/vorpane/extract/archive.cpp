#include "vorpane/extract/archive.hpp"

#include "vorpane/extract/extractor.hpp"
#include "vorpane/extract/path_walk.hpp"
#include "vorpane/util/c_handle.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/signals.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>
#include <vector>

// Staging beside the target and the all-or-nothing move into it; extractor.cpp writes the members.

namespace vorpane::extract {

namespace {

namespace fs = std::filesystem;

using Fd = util::UniqueFd;

using Components = PathComponents;

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
        util::throw_errno(errno, "Cannot read a directory");
    }
    const util::CHandle<DIR, ::closedir> guard(stream);
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
                util::throw_errno(errno, "Cannot create a staging directory in " +
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
                util::throw_errno(ENOENT, "Cannot create a staging directory in " +
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
            util::throw_errno(errno, "Cannot create a staging directory");
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
                util::throw_errno(in_staging.error != 0 ? in_staging.error : in_target.error,
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
            util::throw_errno(errno, "Cannot read the staged " + shown);
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
                util::throw_errno(errno, "Cannot replace " + shown);
            }
        } else if (errno != ENOENT) {
            util::throw_errno(errno, "Cannot extract " + shown);
        }
        m_steps.push_back(std::move(step));
        if (::renameat(from, name.c_str(), into, name.c_str()) != 0) {
            util::throw_errno(errno, "Cannot move " + shown + " into place");
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
        util::throw_errno(errno, "Cannot open the directory " + quote_name(parent.string()));
    }
    out.name = out.path.filename().string();
    struct stat st {};
    if (out.name.empty()) {
        out.target = Fd(::open(out.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else if (::fstatat(out.parent.get(), out.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            util::throw_errno(ELOOP, "Refusing to unpack into the symbolic link " +
                                         quote_name(target.string()));
        }
        out.target = open_directory_nofollow(out.parent.get(), out.name.c_str());
        if (!out.target) {
            util::throw_errno(errno, "Cannot open the directory " + quote_name(target.string()));
        }
    } else if (errno != ENOENT) {
        util::throw_errno(errno, "Cannot open the directory " + quote_name(target.string()));
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
    const util::DeferSignals moving_in;
    const int parent = destination.parent.get();
    const char* name = destination.name.c_str();
    bool created = !destination.target;
    if (created) {
        if (::mkdirat(parent, name, 0777) != 0) {
            // Another run may have made it since it was looked for: a directory does as well,
            // and anything else fails the open below.
            if (errno != EEXIST) {
                util::throw_errno(errno, "Cannot create " + quote_name(target.string()));
            }
            created = false;
        }
        destination.target = open_directory_nofollow(parent, name);
        if (!destination.target) {
            const int error = errno;
            if (created) {
                (void)::unlinkat(parent, name, AT_REMOVEDIR);
            }
            util::throw_errno(error, "Cannot open the directory " + quote_name(target.string()));
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
        util::throw_errno(errno, "Cannot open " + quote_name(archive.string()));
    }
    extract_tar_gz_safely(fd.get(), target, archive_name, max_bytes);
}

} // namespace vorpane::extract

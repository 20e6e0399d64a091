#include "vorpane/extract/path_walk.hpp"

#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <iterator>
#include <utility>

namespace vorpane::extract {

PathComponents split_path(std::string_view path) {
    PathComponents parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
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

std::string join_path(const PathComponents& parts, std::size_t count) {
    std::string out;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i > 0) {
            out += '/';
        }
        out += parts[i];
    }
    return out;
}

std::string join_path(const PathComponents& parts) {
    return join_path(parts, parts.size());
}

DirectoryWalker::DirectoryWalker(int root)
    : m_root(root), m_here(::fcntl(root, F_DUPFD_CLOEXEC, 0)) {
    struct stat st {};
    if (!m_here || ::fstat(m_here.get(), &st) != 0) {
        util::throw_errno(errno, "Cannot open a directory");
    }
    m_root_device = st.st_dev;
    m_root_inode = st.st_ino;
}

Placement DirectoryWalker::place(std::string_view path) {
    return walk(path, true);
}

Placement DirectoryWalker::resolve(std::string_view path) {
    return walk(path, false);
}

DirectoryWalker::Step DirectoryWalker::enter(const std::string& name) {
    util::UniqueFd next(
        ::openat(m_here.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (next) {
        if (::fstat(next.get(), &st) != 0) {
            m_error = errno;
            return Step::failed;
        }
        m_levels.push_back({name, st.st_dev, st.st_ino});
        m_here = std::move(next);
        return Step::entered;
    }
    if (errno == ENOENT) {
        return Step::missing;
    }
    // Every other failure is looked at: "not found" is the only one that lets a walk go on
    // (as a directory still to be made); too long a name or a denied search is an error.
    const int open_error = errno;
    if (::fstatat(m_here.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        m_error = errno;
        return errno == ENOENT ? Step::missing : Step::failed;
    }
    if (S_ISLNK(st.st_mode)) {
        return Step::link;
    }
    if (!S_ISDIR(st.st_mode)) {
        return Step::not_directory;
    }
    m_error = open_error;
    return Step::failed;
}

// Climbing by ".." from a directory reached without links lands in its parent; a check of the
// parent's identity catches a tree changed behind the walker's back, which is then walked again.
bool DirectoryWalker::climb_to(std::size_t depth) {
    const bool near = m_levels.size() - std::min(depth, m_levels.size()) <= depth;
    while (near && m_levels.size() > depth) {
        util::UniqueFd up(::openat(m_here.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const bool to_root = m_levels.size() == 1;
        const dev_t device = to_root ? m_root_device : m_levels[m_levels.size() - 2].device;
        const ino_t inode = to_root ? m_root_inode : m_levels[m_levels.size() - 2].inode;
        struct stat st {};
        if (!up || ::fstat(up.get(), &st) != 0 || st.st_dev != device || st.st_ino != inode) {
            break;
        }
        m_here = std::move(up);
        m_levels.pop_back();
    }
    if (m_levels.size() <= depth) {
        return m_levels.size() == depth;
    }
    std::vector<Level> kept(
        std::make_move_iterator(m_levels.begin()),
        std::make_move_iterator(m_levels.begin() + static_cast<std::ptrdiff_t>(depth)));
    m_levels.clear();
    m_here = util::UniqueFd(::fcntl(m_root, F_DUPFD_CLOEXEC, 0));
    if (!m_here) {
        util::throw_errno(errno, "Cannot open a directory");
    }
    return std::all_of(kept.begin(), kept.end(),
                       [this](const Level& level) { return enter(level.name) == Step::entered; });
}

std::size_t DirectoryWalker::shared_depth(const PathComponents& parts, std::size_t count) const {
    size_t depth = 0;
    while (depth < count && depth < m_levels.size() && m_levels[depth].name == parts[depth]) {
        ++depth;
    }
    return depth;
}

Placement DirectoryWalker::open(const PathComponents& parts, std::size_t count, bool create) {
    // A climb that fails leaves the walker higher up, from where the loop goes on.
    (void)climb_to(shared_depth(parts, count));
    for (size_t i = m_levels.size(); i < count; ++i) {
        for (int attempt = 0;; ++attempt) {
            const Step step = enter(parts[i]);
            if (step == Step::entered) {
                break;
            }
            std::string at = join_path(parts, i + 1);
            switch (step) {
            case Step::entered:
                break;
            case Step::missing:
                if (!create) {
                    return {Placement::Kind::missing, {}, std::move(at), ENOENT};
                }
                if (attempt < 2 &&
                    (::mkdirat(m_here.get(), parts[i].c_str(), 0777) == 0 || errno == EEXIST)) {
                    continue;
                }
                return {Placement::Kind::failed, {}, std::move(at), attempt < 2 ? errno : ENOENT};
            case Step::link:
                return {Placement::Kind::through_link, {}, std::move(at), 0};
            case Step::not_directory:
                return {Placement::Kind::not_directory, {}, std::move(at), ENOTDIR};
            case Step::failed:
                return {Placement::Kind::failed, {}, std::move(at), m_error};
            }
        }
    }
    return {};
}

// Walks like the kernel: links on disk are followed, and a ".." after one climbs from where the
// link leads. Only what exists can redirect the walk; below a missing component nothing is
// looked up (nothing can be there), which `missing` counts.
Placement DirectoryWalker::walk(std::string_view path, bool place) {
    constexpr int max_links = 40;
    PathComponents given = split_path(path);
    size_t plain = 0;
    while (plain < given.size() && given[plain] != "." && given[plain] != "..") {
        ++plain;
    }
    if (place && plain == given.size() && plain > 0) {
        --plain; // the last component is never entered
    }
    (void)climb_to(shared_depth(given, plain));
    const size_t start = m_levels.size();
    Placement out;
    out.parts.assign(std::make_move_iterator(given.begin()),
                     std::make_move_iterator(given.begin() + static_cast<std::ptrdiff_t>(start)));
    std::deque<std::string> pending(
        std::make_move_iterator(given.begin() + static_cast<std::ptrdiff_t>(start)),
        std::make_move_iterator(given.end()));
    size_t missing = 0;
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (out.parts.empty()) {
                return {Placement::Kind::outside, {}, {}, 0};
            }
            out.parts.pop_back();
            if (missing > 0) {
                --missing;
            } else if (!climb_to(m_levels.size() - 1)) {
                return {Placement::Kind::failed, {}, join_path(out.parts), ESTALE};
            }
            continue;
        }
        out.parts.push_back(std::move(part));
        if (place && pending.empty()) {
            break;
        }
        if (missing > 0) {
            ++missing;
            continue;
        }
        const Step step = enter(out.parts.back());
        if (step == Step::entered) {
            continue;
        }
        if (step == Step::missing || (step == Step::not_directory && !place)) {
            missing = 1;
            continue;
        }
        if (step == Step::not_directory) {
            return {Placement::Kind::not_directory, {}, join_path(out.parts), ENOTDIR};
        }
        if (step == Step::failed) {
            return {Placement::Kind::failed, {}, join_path(out.parts), m_error};
        }
        if (out.at.empty()) {
            out.at = join_path(out.parts);
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t n =
            ::readlinkat(m_here.get(), out.parts.back().c_str(), target.data(), target.size());
        if (++links > max_links || n <= 0 || static_cast<size_t>(n) >= target.size()) {
            return {Placement::Kind::through_link, {}, out.at, 0};
        }
        target.resize(static_cast<size_t>(n));
        if (target.front() == '/') {
            return {Placement::Kind::outside, {}, {}, 0};
        }
        out.parts.pop_back();
        PathComponents link_parts = split_path(target);
        pending.insert(pending.begin(), std::make_move_iterator(link_parts.begin()),
                       std::make_move_iterator(link_parts.end()));
    }
    if (place && !out.at.empty()) {
        out.kind = Placement::Kind::through_link;
    }
    return out;
}

} // namespace vorpane::extract

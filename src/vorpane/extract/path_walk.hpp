#pragma once

#include "vorpane/util/fd.hpp"

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::extract {

using PathComponents = std::vector<std::string>;

// The components of `path`, empty ones dropped ("a//b/" gives a, b); "." and ".." are kept.
PathComponents split_path(std::string_view path);

// The first `count` of `parts` joined by "/".
std::string join_path(const PathComponents& parts, std::size_t count);
std::string join_path(const PathComponents& parts);

// Where a path leads below the root of a DirectoryWalker, or why it cannot be followed.
struct Placement {
    enum class Kind {
        inside,        // `parts` is where it lands
        outside,       // it leaves the root, or follows an absolute link
        through_link,  // it passes through the link `at` (or a loop of links)
        not_directory, // `at` is in the middle of the path and is not a directory
        missing,       // `at` does not exist (only when a directory is opened without creating)
        failed,        // looking at `at` failed with `error` (errno), for instance a name too long
    };
    Kind kind = Kind::inside;
    PathComponents parts;
    std::string at;
    int error = 0;
};

// Walks paths below the directory `root` one component at a time from directory descriptors,
// never following a link by name and never handing the kernel more than one component, so that
// how long or deep a path is changes nothing. It keeps the directory where the last walk ended
// open and starts the next walk from the part that both paths share: walking the members of an
// archive in the order tar writes them costs about as much as the tree has directories. The tree
// may change between walks only by entries being added, replaced or removed inside the directory
// where the walker stands (what an extractor does); anything else is noticed when climbing back
// ("..") and the walker starts again from `root`.
class DirectoryWalker {
  public:
    // `root` stays owned by the caller and must outlive the walker; throws std::system_error.
    explicit DirectoryWalker(int root);

    // Where a member named `path` lands: its last component is not looked at (it replaces what
    // is there), links on the way make it `through_link` (or `outside` when they lead out), a
    // file on the way `not_directory`. Missing components count as directories.
    Placement place(std::string_view path);

    // Where `path` really leads, as realpath would, the last component followed too; a file on
    // the way counts as missing. Fails only by leaving the root, an absolute link, a link loop
    // or an error other than "not found".
    Placement resolve(std::string_view path);

    // Moves to the directory `parts[0..count)`, entered without following links; missing
    // directories are made (mode 0777 less the umask) when `create`. `inside` when fd() is now
    // that directory.
    Placement open(const PathComponents& parts, std::size_t count, bool create);

    // The directory where the walker stands; valid until the next call.
    [[nodiscard]] int fd() const noexcept { return m_here.get(); }

  private:
    enum class Step { entered, missing, link, not_directory, failed };
    struct Level {
        std::string name;
        dev_t device;
        ino_t inode;
    };

    Placement walk(std::string_view path, bool place);
    Step enter(const std::string& name);
    bool climb_to(std::size_t depth);
    std::size_t shared_depth(const PathComponents& parts, std::size_t count) const;

    int m_root;
    dev_t m_root_device = 0;
    ino_t m_root_inode = 0;
    std::vector<Level> m_levels; // from the root down to where the walker stands
    util::UniqueFd m_here;
    int m_error = 0; // errno of the last enter() that failed
};

} // namespace vorpane::extract

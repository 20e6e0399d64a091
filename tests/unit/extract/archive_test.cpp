#include "vorpane/extract/archive.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/tar_builder.hpp"
#include "support/temp_home.hpp"

namespace vorpane::extract {
namespace {

namespace fs = std::filesystem;
using Members = std::vector<test::TarMember>;

test::TarMember file(std::string name, std::string content, unsigned mode = 0644) {
    return {std::move(name), 'f', std::move(content), mode};
}
test::TarMember dir(std::string name) {
    return {std::move(name), 'd', "", 0755};
}
test::TarMember symlink(std::string name, std::string target) {
    return {std::move(name), 's', std::move(target), 0777};
}
test::TarMember hardlink(std::string name, std::string target) {
    return {std::move(name), 'h', std::move(target)};
}

bool exists_at_all(const fs::path& path) {
    return fs::exists(fs::symlink_status(path));
}

// Layout: <tmp>/work/target is extracted into; <tmp>/work/outside/victim must never change;
// archives live in <tmp>/archives.
class ArchiveExtraction : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(m_tmp.path() / "archives");
        test::write_file(victim(), "precious");
    }

    [[nodiscard]] fs::path work() const { return m_tmp.path() / "work"; }
    [[nodiscard]] fs::path target() const { return work() / "target"; }
    [[nodiscard]] fs::path victim() const { return work() / "outside" / "victim"; }

    fs::path archive(const Members& members) {
        const fs::path path =
            m_tmp.path() / "archives" / ("a" + std::to_string(m_count++) + ".tar.gz");
        test::write_tar_gz(path, members);
        return path;
    }
    void extract(const Members& members) { extract_tar_gz_safely(archive(members), target()); }

    // Nothing below work/ but the target and the untouched victim.
    void expect_nothing_escaped() const {
        std::set<std::string> found;
        for (auto it = fs::recursive_directory_iterator(work()); it != fs::end(it); ++it) {
            const auto relative = fs::relative(it->path(), work()).string();
            if (relative == "target") {
                it.disable_recursion_pending();
            } else {
                found.insert(relative);
            }
        }
        EXPECT_EQ(found, (std::set<std::string>{"outside", "outside/victim"}));
        EXPECT_EQ(test::read_file(victim()), "precious");
        EXPECT_EQ(fs::hard_link_count(victim()), 1U);
    }

    test::TempDir m_tmp;
    int m_count = 0;
};

TEST_F(ArchiveExtraction, UnpacksAPlainTreeWithInnerLinks) {
    extract({dir("docs/"), file("docs/readme.md", "hello"), file("run.sh", "#!/bin/sh\n", 0755),
             symlink("docs/latest", "readme.md"), hardlink("copy.md", "docs/readme.md"),
             file("deep/a/b/c.txt", "nested"), file("/abs/x", "one"), file("//etc/y", "two"),
             file("a/../b.txt", "fine"), file("\u00dcbung/daten.csv", "1,2")});
    EXPECT_EQ(test::read_file(target() / "docs/readme.md"), "hello");
    EXPECT_EQ(test::read_file(target() / "deep/a/b/c.txt"), "nested");
    EXPECT_EQ(fs::read_symlink(target() / "docs/latest"), "readme.md");
    EXPECT_TRUE(fs::equivalent(target() / "copy.md", target() / "docs/readme.md"));
    EXPECT_EQ(test::perms_of(target() / "run.sh"), fs::perms(0755));
    // Leading slashes are stripped; a ".." that stays inside is fine; UTF-8 names are kept.
    EXPECT_EQ(test::read_file(target() / "abs/x"), "one");
    EXPECT_EQ(test::read_file(target() / "etc/y"), "two");
    EXPECT_EQ(test::read_file(target() / "b.txt"), "fine");
    EXPECT_EQ(test::read_file(target() / "\u00dcbung/daten.csv"), "1,2");
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, AppliesTheDataPermissionPolicy) {
    ::umask(022);
    const std::vector<std::pair<unsigned, unsigned>> modes = {
        {04755, 0755}, {0666, 0644},  {0777, 0755}, {0444, 0644},
        {0611, 0600},  {01644, 0644}, {0000, 0600}, {02775, 0755}};
    Members members = {dir("open-dir/")};
    for (const auto& [given, kept] : modes) {
        members.push_back(file(std::to_string(given), "x", given));
    }
    extract(members);
    for (const auto& [given, kept] : modes) {
        EXPECT_EQ(test::perms_of(target() / std::to_string(given)), fs::perms(kept))
            << std::oct << given;
    }
    EXPECT_EQ(test::perms_of(target() / "open-dir"), fs::perms(0755));
}

TEST_F(ArchiveExtraction, RefusesHostileMembersAndNothingLandsOutside) {
    struct Case {
        Members members;
        std::string refused;
        std::string shown; // the name as the message shows it, when it differs
    };
    // Deeper than a path may be long: a walker that took "name too long" for "missing" would
    // see "x" as a directory, not as the link to the target that it is, and let "evil" climb to /.
    std::string deep;
    for (int i = 0; i < 17; ++i) {
        deep += std::string(250, static_cast<char>('a' + i)) + "/";
    }
    std::string up;
    for (int i = 0; i < 18; ++i) {
        up += "../";
    }
    const std::string long_name(256, 'n');
    const std::vector<Case> cases = {
        {{symlink(deep + "x", up.substr(3)), symlink(deep + "evil", "x/" + up + "etc")},
         deep + "evil",
         ""},
        {{file(long_name + "/f", "x")}, long_name + "/f", ""},
        {{file("good.txt", "ok"), file("../evil", "bad")}, "../evil", ""},
        {{file("a/../../b", "bad")}, "a/../../b", ""},
        {{file("/../../outside/victim", "bad")}, "/../../outside/victim", ""},
        {{file("../evil\nError: fake", "x")}, "../evil\nError: fake", "../evil\\x0aError: fake"},
        {{file("../\x1b]0;pwned\x07\u009b", "x")},
         "../\x1b]0;pwned\x07\u009b",
         "../\\x1b]0;pwned\\x07\\u009b"},
        {{symlink("link", victim().string())}, "link", ""},
        {{symlink("link", ".."), file("link/outside/victim", "bad")}, "link", ""},
        {{symlink("dir/link", "../.."), file("dir/link/evil", "bad")}, "dir/link", ""},
        {{symlink("dir/link", "../../outside")}, "dir/link", ""},
        // A write through a link made earlier in the same archive.
        {{dir("sub/"), symlink("l", "sub"), file("l/file", "x")}, "l/file", ""},
        // A directory replaced by a link, then written into.
        {{dir("d/"), dir("elsewhere/"), symlink("d", "elsewhere"), file("d/x", "x")}, "d/x", ""},
        // A ".." after a link climbs from where the link leads, not back out of the link.
        {{symlink("a", "."), file("a/../x", "bad")}, "a/../x", ""},
        {{dir("sub/deeper/"), symlink("a", "sub/deeper"), file("a/../../x", "x")}, "a/../../x", ""},
        {{dir("d/"), symlink("d/up", ".."), file("d/up/../../x", "bad")}, "d/up/../../x", ""},
        // "l" points at the target itself when made; once "a" becomes a link to ".", "l" would
        // resolve to the directory above the target.
        {{dir("a/"), symlink("l", "a/.."), symlink("a", ".")}, "l", ""},
        {{hardlink("h", "../outside/victim")}, "h", ""},
        {{hardlink("h", victim().string())}, "h", ""},
        {{{"tty", 'c', "", 0666}}, "tty", ""},
        {{{"disk", 'b', "", 0660}}, "disk", ""},
        {{{"pipe", 'p', "", 0644}}, "pipe", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refused);
        fs::remove_all(target());
        try {
            extract(c.members);
            ADD_FAILURE() << "no member was refused";
        } catch (const ArchiveMemberRefused& e) {
            EXPECT_EQ(e.member(), c.refused);
            const std::string what = e.what();
            EXPECT_NE(what.find("'" + (c.shown.empty() ? c.refused : c.shown) + "'"),
                      std::string::npos)
                << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
        // All or nothing: not even the target directory appears.
        EXPECT_FALSE(exists_at_all(target()));
        expect_nothing_escaped();
    }
}

TEST_F(ArchiveExtraction, EveryFailureLeavesTheTargetAsItWas) {
    const fs::path bomb =
        archive({file("kept-dir/new.txt", "x"), dir("new-dir/"), file("new-dir/a.txt", "a"),
                 symlink("new-dir/l", "a.txt"), file("big.bin", std::string(2 << 20, 'z'))});
    const std::uint64_t total = 2 + (2 << 20);
    const fs::path truncated =
        archive({file("keep.txt", "theirs"), {"big", 'f', "", 0644, 1 << 20}});
    fs::resize_file(truncated, fs::file_size(truncated) / 2);
    const fs::path refused_late = archive({file("keep.txt", "theirs"), dir("kept-dir/"),
                                           file("kept-dir/n", "n"), file("../late", "x")});
    const std::vector<std::tuple<fs::path, std::uint64_t, std::string>> cases = {
        {bomb, total - 1, "'bomb.tar.gz': at 'big.bin' it unpacks to more than"},
        {truncated, DEFAULT_MAX_UNPACK_BYTES, "Cannot unpack the archive 'bomb.tar.gz': "},
        {refused_late, DEFAULT_MAX_UNPACK_BYTES, "Refusing to extract '../late' from"},
    };
    for (const auto& [path, bound, error] : cases) {
        for (const bool existing : {true, false}) {
            SCOPED_TRACE(error + (existing ? " over a target" : ""));
            fs::remove_all(target());
            std::map<std::string, std::string> before;
            if (existing) {
                test::write_file(target() / "keep.txt", "mine");
                fs::create_directories(target() / "kept-dir");
                fs::create_symlink("../keep.txt", target() / "kept-dir" / "n");
                before = test::read_tree(target());
            }
            const std::string what =
                test::what_of([&] { extract_tar_gz_safely(path, target(), "bomb.tar.gz", bound); });
            EXPECT_NE(what.find(error), std::string::npos) << what;
            if (existing) {
                EXPECT_EQ(test::read_tree(target()), before);
            } else {
                EXPECT_FALSE(exists_at_all(target()));
            }
            expect_nothing_escaped();
        }
    }
    // Exactly at the bound is allowed.
    extract_tar_gz_safely(bomb, target(), "bomb.tar.gz", total);
    EXPECT_EQ(fs::file_size(target() / "big.bin"), 2U << 20);
}

TEST_F(ArchiveExtraction, NeverUnpacksIntoALinkedTarget) {
    fs::create_directories(work());
    fs::create_directory_symlink(victim().parent_path(), target());
    EXPECT_THROW(extract({file("planted", "x")}), std::system_error);
    fs::remove(target());
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, ReplacesExistingEntriesInsteadOfWritingThroughThem) {
    fs::create_directories(target());
    test::write_file(target() / "old.txt", "old");
    fs::create_symlink(victim(), target() / "planted-link");
    fs::create_hard_link(victim(), target() / "planted-hardlink");
    test::write_file(target() / "mine.txt", "mine");
    test::write_file(target() / "sub" / "mine.txt", "mine too");
    test::write_file(target() / "sub" / "old.txt", "old");
    fs::create_directories(target() / "was-a-dir");
    extract({file("old.txt", "new"), file("planted-link", "new"), file("planted-hardlink", "new"),
             file("sub/old.txt", "new"), file("sub/deep/new.txt", "new"), file("was-a-dir", "f")});
    // Files the user added stay; directories merge; same-named entries are replaced.
    EXPECT_EQ(test::read_tree(target()),
              (std::map<std::string, std::string>{{"mine.txt", "mine"},
                                                  {"old.txt", "new"},
                                                  {"planted-hardlink", "new"},
                                                  {"planted-link", "new"},
                                                  {"sub", "<dir>"},
                                                  {"sub/deep", "<dir>"},
                                                  {"sub/deep/new.txt", "new"},
                                                  {"sub/mine.txt", "mine too"},
                                                  {"sub/old.txt", "new"},
                                                  {"was-a-dir", "f"}}));
    EXPECT_FALSE(fs::is_symlink(target() / "planted-link"));
    EXPECT_EQ(test::read_file(target() / "planted-link"), "new");
    EXPECT_EQ(test::read_file(target() / "planted-hardlink"), "new");
    EXPECT_EQ(test::read_file(victim()), "precious");
}

TEST_F(ArchiveExtraction, CorruptEmptyAndTruncatedStreamsAreArchiveErrors) {
    static constexpr unsigned char empty_gzip[] = {0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, 0, 0x03,
                                                   0x03, 0,    0,    0, 0, 0, 0, 0, 0, 0};
    for (const std::string& bytes :
         {std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03garbage-that-is-not-deflate"),
          std::string(reinterpret_cast<const char*>(empty_gzip), sizeof(empty_gzip))}) {
        const fs::path path = m_tmp.path() / "archives" / "broken.tar.gz";
        test::write_file(path, bytes);
        EXPECT_THROW(extract_tar_gz_safely(path, target()), ArchiveError);
    }
    const fs::path path =
        archive({file("first.txt", "first"), file("big.bin", std::string(1 << 20, 'z'))});
    fs::resize_file(path, fs::file_size(path) - 200);
    // Read from a descriptor, as downloads are; what came before the damage stays.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string what =
        test::what_of<ArchiveError>([&] { extract_tar_gz_safely(fd, target(), "zel_foo.tar.gz"); });
    EXPECT_NE(what.find("'zel_foo.tar.gz'"), std::string::npos) << what;
    ::close(fd);
    EXPECT_FALSE(exists_at_all(target()));
    expect_nothing_escaped();
}

// The staging directories in `dir`: what a run that died leaves behind.
std::vector<fs::path> staging_dirs(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(".vorpane-staging-", 0) == 0) {
            found.push_back(entry.path());
        }
    }
    return found;
}

TEST_F(ArchiveExtraction, RemovesStagingLeftByDeadRunsButNotByLiveOnes) {
    const fs::path dead = work() / ".vorpane-staging-dead00";
    const fs::path live = work() / ".vorpane-staging-live00";
    test::write_file(dead / "tree" / "deep" / "x", "left");
    fs::create_symlink(victim().parent_path(), dead / "tree" / "link");
    fs::permissions(dead / "tree" / "deep", fs::perms::owner_read | fs::perms::owner_exec);
    fs::create_directories(live / "tree");
    const int lock = ::open(live.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    extract({file("x", "x")});
    EXPECT_EQ(staging_dirs(work()), std::vector<fs::path>{live});
    ::close(lock);
    extract({file("x", "y")});
    EXPECT_TRUE(staging_dirs(work()).empty());
    EXPECT_EQ(test::read_file(target() / "x"), "y");
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, KilledMidwayLeavesTheTargetAsItWasAndTheNextRunCleansUp) {
    test::write_file(target() / "keep.txt", "mine");
    const auto before = test::read_tree(target());
    const std::string bytes = test::read_file(
        archive({file("keep.txt", "theirs"), {"big", 'f', "", 0644, 4 << 20}, file("z", "z")}));
    std::array<int, 2> ends{};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            extract_tar_gz_safely(ends[1], target());
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    // Half the archive: the child unpacks what it got, then waits for the rest.
    for (size_t sent = 0; sent < bytes.size() / 2;) {
        const ssize_t n =
            ::send(ends[0], bytes.data() + sent, bytes.size() / 2 - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << "the unpacking child went away";
        sent += static_cast<size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((staging_dirs(work()).empty() || !fs::exists(staging_dirs(work())[0] / "tree/big")) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(ends[0]);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(test::read_tree(target()), before);
    EXPECT_EQ(staging_dirs(work()).size(), 1U);
    extract({file("keep.txt", "new")});
    EXPECT_TRUE(staging_dirs(work()).empty());
    EXPECT_EQ(test::read_file(target() / "keep.txt"), "new");
}

} // namespace
} // namespace vorpane::extract

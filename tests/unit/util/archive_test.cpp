#include "vorpane/util/archive.hpp"
#include "vorpane/util/dynlib.hpp"
#include "vorpane/util/process.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/temp_home.hpp"

namespace vorpane::util {
namespace {

namespace fs = std::filesystem;

// The writing half of libarchive, which the product never needs.
struct ArchiveWriterApi {
    DynLib lib{{"libarchive.so.13", "libarchive.13.dylib"}};
    decltype(&::archive_write_new) archive_write_new = nullptr;
    decltype(&::archive_write_add_filter_gzip) archive_write_add_filter_gzip = nullptr;
    decltype(&::archive_write_set_format_pax_restricted) archive_write_set_format_pax_restricted =
        nullptr;
    decltype(&::archive_write_open_filename) archive_write_open_filename = nullptr;
    decltype(&::archive_write_header) archive_write_header = nullptr;
    decltype(&::archive_write_data) archive_write_data = nullptr;
    decltype(&::archive_write_close) archive_write_close = nullptr;
    decltype(&::archive_write_free) archive_write_free = nullptr;
    decltype(&::archive_entry_new) archive_entry_new = nullptr;
    decltype(&::archive_entry_free) archive_entry_free = nullptr;
    decltype(&::archive_entry_set_pathname) archive_entry_set_pathname = nullptr;
    decltype(&::archive_entry_set_filetype) archive_entry_set_filetype = nullptr;
    decltype(&::archive_entry_set_perm) archive_entry_set_perm = nullptr;
    decltype(&::archive_entry_set_size) archive_entry_set_size = nullptr;
    decltype(&::archive_entry_set_symlink) archive_entry_set_symlink = nullptr;
    decltype(&::archive_entry_set_hardlink) archive_entry_set_hardlink = nullptr;

    ArchiveWriterApi() {
        VORPANE_DYN_FN(lib, archive_write_new);
        VORPANE_DYN_FN(lib, archive_write_add_filter_gzip);
        VORPANE_DYN_FN(lib, archive_write_set_format_pax_restricted);
        VORPANE_DYN_FN(lib, archive_write_open_filename);
        VORPANE_DYN_FN(lib, archive_write_header);
        VORPANE_DYN_FN(lib, archive_write_data);
        VORPANE_DYN_FN(lib, archive_write_close);
        VORPANE_DYN_FN(lib, archive_write_free);
        VORPANE_DYN_FN(lib, archive_entry_new);
        VORPANE_DYN_FN(lib, archive_entry_free);
        VORPANE_DYN_FN(lib, archive_entry_set_pathname);
        VORPANE_DYN_FN(lib, archive_entry_set_filetype);
        VORPANE_DYN_FN(lib, archive_entry_set_perm);
        VORPANE_DYN_FN(lib, archive_entry_set_size);
        VORPANE_DYN_FN(lib, archive_entry_set_symlink);
        VORPANE_DYN_FN(lib, archive_entry_set_hardlink);
    }
};

struct Member {
    enum Kind { File, Dir, Symlink, Hardlink, CharDevice, BlockDevice, Fifo };
    std::string name;
    Kind kind = File;
    std::string content; // file data, or the link target
    mode_t perm = 0644;
};

Member file(std::string name, std::string content, mode_t perm = 0644) {
    return {std::move(name), Member::File, std::move(content), perm};
}
Member dir(std::string name) {
    return {std::move(name), Member::Dir, "", 0755};
}
Member symlink(std::string name, std::string target) {
    return {std::move(name), Member::Symlink, std::move(target), 0777};
}
Member hardlink(std::string name, std::string target) {
    return {std::move(name), Member::Hardlink, std::move(target), 0644};
}

void write_tar_gz(const fs::path& path, const std::vector<Member>& members) {
    static const ArchiveWriterApi api;
    archive* writer = api.archive_write_new();
    ASSERT_EQ(api.archive_write_add_filter_gzip(writer), ARCHIVE_OK);
    ASSERT_EQ(api.archive_write_set_format_pax_restricted(writer), ARCHIVE_OK);
    ASSERT_EQ(api.archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK);
    for (const auto& member : members) {
        archive_entry* entry = api.archive_entry_new();
        api.archive_entry_set_pathname(entry, member.name.c_str());
        api.archive_entry_set_perm(entry, member.perm);
        switch (member.kind) {
        case Member::File:
            api.archive_entry_set_filetype(entry, AE_IFREG);
            api.archive_entry_set_size(entry, static_cast<la_int64_t>(member.content.size()));
            break;
        case Member::Dir:
            api.archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case Member::Symlink:
            api.archive_entry_set_filetype(entry, AE_IFLNK);
            api.archive_entry_set_symlink(entry, member.content.c_str());
            break;
        case Member::Hardlink:
            api.archive_entry_set_filetype(entry, AE_IFREG);
            api.archive_entry_set_hardlink(entry, member.content.c_str());
            break;
        case Member::CharDevice:
            api.archive_entry_set_filetype(entry, AE_IFCHR);
            break;
        case Member::BlockDevice:
            api.archive_entry_set_filetype(entry, AE_IFBLK);
            break;
        case Member::Fifo:
            api.archive_entry_set_filetype(entry, AE_IFIFO);
            break;
        }
        ASSERT_EQ(api.archive_write_header(writer, entry), ARCHIVE_OK) << member.name;
        if (member.kind == Member::File && !member.content.empty()) {
            api.archive_write_data(writer, member.content.data(), member.content.size());
        }
        api.archive_entry_free(entry);
    }
    ASSERT_EQ(api.archive_write_close(writer), ARCHIVE_OK);
    api.archive_write_free(writer);
}

class Fd {
  public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const { return m_fd; }

  private:
    int m_fd;
};

mode_t mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Layout: <tmp>/work/target is extracted into; <tmp>/work/outside/victim must never change;
// archives live in <tmp>/archives.
class ArchiveExtraction : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(work() / "outside");
        fs::create_directories(m_tmp.path() / "archives");
        test::write_file(victim(), "precious");
    }

    [[nodiscard]] fs::path work() const { return m_tmp.path() / "work"; }
    [[nodiscard]] fs::path target() const { return work() / "target"; }
    [[nodiscard]] fs::path victim() const { return work() / "outside" / "victim"; }

    fs::path archive(const std::vector<Member>& members) {
        fs::path path = m_tmp.path() / "archives" / ("a" + std::to_string(m_count++) + ".tar.gz");
        write_tar_gz(path, members);
        return path;
    }

    void extract(const std::vector<Member>& members) {
        extract_tar_gz_safely(archive(members), target());
    }

    // Everything below work/ that is not inside the target.
    [[nodiscard]] std::set<std::string> outside_target() const {
        std::set<std::string> found;
        for (auto it = fs::recursive_directory_iterator(work()); it != fs::end(it); ++it) {
            auto relative = fs::relative(it->path(), work()).string();
            if (relative == "target") {
                it.disable_recursion_pending();
                continue;
            }
            found.insert(relative);
        }
        return found;
    }

    void expect_nothing_escaped() const {
        EXPECT_EQ(outside_target(), (std::set<std::string>{"outside", "outside/victim"}));
        EXPECT_EQ(test::read_file(victim()), "precious");
    }

    // Runs the extraction, expecting the member `member` to be refused with a message that
    // shows it as `shown` (the name itself by default).
    void expect_refused(const std::vector<Member>& members,
                        const std::string& member,
                        std::string shown = {}) {
        if (shown.empty()) {
            shown = member;
        }
        try {
            extract(members);
            ADD_FAILURE() << "no member was refused";
        } catch (const ArchiveMemberRefused& e) {
            EXPECT_EQ(e.member(), member);
            std::string what = e.what();
            EXPECT_NE(what.find("'" + shown + "'"), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
        expect_nothing_escaped();
    }

  private:
    test::TempDir m_tmp;
    int m_count = 0;
};

TEST_F(ArchiveExtraction, UnpacksAPlainTreeWithInnerLinks) {
    extract({dir("docs/"), file("docs/readme.md", "hello"), file("run.sh", "#!/bin/sh\n", 0755),
             symlink("docs/latest", "readme.md"), hardlink("copy.md", "docs/readme.md"),
             file("deep/a/b/c.txt", "nested")});
    EXPECT_EQ(test::read_file(target() / "docs/readme.md"), "hello");
    EXPECT_EQ(test::read_file(target() / "deep/a/b/c.txt"), "nested");
    EXPECT_EQ(fs::read_symlink(target() / "docs/latest"), "readme.md");
    EXPECT_TRUE(fs::equivalent(target() / "copy.md", target() / "docs/readme.md"));
    EXPECT_EQ(mode_of(target() / "run.sh"), 0755U);
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, AppliesTheDataPermissionPolicy) {
    ::umask(022);
    extract({file("setuid", "x", 04755), file("world-writable", "x", 0666), file("all", "x", 0777),
             file("read-only", "x", 0444), file("group-exec-only", "x", 0611),
             file("sticky", "x", 01644), file("no-perms", "x", 0000), dir("open-dir/")});
    EXPECT_EQ(mode_of(target() / "setuid"), 0755U);
    EXPECT_EQ(mode_of(target() / "world-writable"), 0644U);
    EXPECT_EQ(mode_of(target() / "all"), 0755U);
    EXPECT_EQ(mode_of(target() / "read-only"), 0644U);
    EXPECT_EQ(mode_of(target() / "group-exec-only"), 0600U);
    EXPECT_EQ(mode_of(target() / "sticky"), 0644U);
    EXPECT_EQ(mode_of(target() / "no-perms"), 0600U);
    EXPECT_EQ(mode_of(target() / "open-dir"), 0755U);
}

TEST_F(ArchiveExtraction, LeadingSlashesAreStripped) {
    extract({file("/abs/x", "one"), file("//etc/y", "two")});
    EXPECT_EQ(test::read_file(target() / "abs/x"), "one");
    EXPECT_EQ(test::read_file(target() / "etc/y"), "two");
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, RefusesTraversalAndKeepsWhatCameBefore) {
    expect_refused({file("good.txt", "ok"), file("../evil", "bad")}, "../evil");
    EXPECT_EQ(test::read_file(target() / "good.txt"), "ok");
    expect_refused({file("a/../../b", "bad")}, "a/../../b");
    expect_refused({file("/../../outside/victim", "bad")}, "/../../outside/victim");
}

TEST_F(ArchiveExtraction, InnerDotDotThatStaysInsideIsFine) {
    extract({file("a/../b.txt", "fine")});
    EXPECT_EQ(test::read_file(target() / "b.txt"), "fine");
}

TEST_F(ArchiveExtraction, RefusesSymlinksThatLeadOutside) {
    expect_refused({symlink("link", victim().string())}, "link");
    expect_refused({symlink("link", ".."), file("link/outside/victim", "bad")}, "link");
    expect_refused({symlink("dir/link", "../.."), file("dir/link/evil", "bad")}, "dir/link");
    expect_refused({symlink("dir/link", "../../outside")}, "dir/link");
    EXPECT_FALSE(fs::exists(fs::symlink_status(target() / "link")));
}

TEST_F(ArchiveExtraction, NeverWritesThroughALinkMadeEarlier) {
    expect_refused({dir("sub/"), symlink("l", "sub"), file("l/file", "x")}, "l/file");
    EXPECT_FALSE(fs::exists(target() / "sub/file"));
}

TEST_F(ArchiveExtraction, DirectoryReplacedByALinkIsNotTraversed) {
    expect_refused({dir("d/"), dir("elsewhere/"), symlink("d", "elsewhere"), file("d/x", "x")},
                   "d/x");
    EXPECT_TRUE(fs::is_symlink(target() / "d"));
    EXPECT_FALSE(fs::exists(target() / "elsewhere/x"));
}

TEST_F(ArchiveExtraction, LinkThatALaterMemberTurnsOutwardIsRemoved) {
    // "l" points at the target itself when made; once "a" becomes a link to ".", "l" would
    // resolve to the directory above the target.
    expect_refused({dir("a/"), symlink("l", "a/.."), symlink("a", ".")}, "l");
    EXPECT_FALSE(fs::exists(fs::symlink_status(target() / "l")));
}

TEST_F(ArchiveExtraction, RefusesHardLinksOutside) {
    expect_refused({hardlink("h", "../outside/victim")}, "h");
    expect_refused({hardlink("h", victim().string())}, "h");
    EXPECT_EQ(fs::hard_link_count(victim()), 1U);
}

TEST_F(ArchiveExtraction, RefusesDevicesAndFifos) {
    expect_refused({{"tty", Member::CharDevice, "", 0666}}, "tty");
    expect_refused({{"disk", Member::BlockDevice, "", 0660}}, "disk");
    expect_refused({{"pipe", Member::Fifo, "", 0644}}, "pipe");
    EXPECT_FALSE(fs::exists(fs::symlink_status(target() / "pipe")));
}

TEST_F(ArchiveExtraction, ReplacesExistingEntriesInsteadOfWritingThroughThem) {
    fs::create_directories(target());
    test::write_file(target() / "old.txt", "old");
    fs::create_symlink(victim(), target() / "planted-link");
    fs::create_hard_link(victim(), target() / "planted-hardlink");
    extract({file("old.txt", "new"), file("planted-link", "new"), file("planted-hardlink", "new")});
    EXPECT_EQ(test::read_file(target() / "old.txt"), "new");
    EXPECT_FALSE(fs::is_symlink(target() / "planted-link"));
    EXPECT_EQ(test::read_file(target() / "planted-link"), "new");
    EXPECT_EQ(test::read_file(target() / "planted-hardlink"), "new");
    EXPECT_EQ(test::read_file(victim()), "precious");
}

TEST_F(ArchiveExtraction, ControlCharactersInNamesStayOnOneLine) {
    expect_refused({file("../evil\nError: fake", "x")}, "../evil\nError: fake",
                   "../evil\\x0aError: fake");
}

TEST_F(ArchiveExtraction, CorruptGzipIsAnArchiveError) {
    fs::path path = work() / "corrupt.tar.gz";
    std::string bytes = "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03garbage-that-is-not-deflate";
    test::write_file(path, bytes);
    EXPECT_THROW(extract_tar_gz_safely(path, target()), ArchiveError);
    fs::remove(path);
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, EmptyGzipStreamIsAnArchiveError) {
    fs::path path = work() / "empty.tar.gz";
    static constexpr unsigned char empty_gzip[] = {0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, 0, 0x03,
                                                   0x03, 0,    0,    0, 0, 0, 0, 0, 0, 0};
    test::write_file(path,
                     std::string(reinterpret_cast<const char*>(empty_gzip), sizeof(empty_gzip)));
    EXPECT_THROW(extract_tar_gz_safely(path, target()), ArchiveError);
    fs::remove(path);
    expect_nothing_escaped();
}

TEST_F(ArchiveExtraction, TruncatedArchiveFailsButKeepsEarlierMembers) {
    fs::path path =
        archive({file("first.txt", "first"), file("big.bin", std::string(1 << 20, 'z'))});
    auto size = fs::file_size(path);
    fs::resize_file(path, size - 200);
    try {
        extract_tar_gz_safely(path, target(), "zel_foo.tar.gz");
        ADD_FAILURE() << "a truncated archive was accepted";
    } catch (const ArchiveError& e) {
        EXPECT_NE(std::string(e.what()).find("'zel_foo.tar.gz'"), std::string::npos) << e.what();
    }
    EXPECT_EQ(test::read_file(target() / "first.txt"), "first");
}

TEST_F(ArchiveExtraction, ReadsFromADescriptorAndKeepsUtf8Names) {
    // libarchive's writer cannot store a UTF-8 name under the C locale; Python's can.
    fs::path path = work() / "utf8.tar.gz";
    const std::string script = "import io, sys, tarfile\n"
                               "with tarfile.open(sys.argv[1], 'w:gz') as tar:\n"
                               "    data = b'1,2'\n"
                               "    info = tarfile.TarInfo('\\u00dcbung/daten.csv')\n"
                               "    info.size = len(data)\n"
                               "    tar.addfile(info, io.BytesIO(data))\n";
    auto result = run_process({VORPANE_PY311, "-c", script, path.string()}, current_environment());
    ASSERT_EQ(result.returncode, 0);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0);
    extract_tar_gz_safely(fd.get(), target());
    EXPECT_EQ(test::read_file(target() / "\u00dcbung/daten.csv"), "1,2");
    fs::remove(path);
    expect_nothing_escaped();
}

} // namespace
} // namespace vorpane::util

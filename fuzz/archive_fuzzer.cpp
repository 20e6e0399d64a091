// Example archives from the service, unpacked into a directory. Whatever the archive holds,
// nothing may appear beside the target directory (no staging directory either), no link in it
// may lead outside, and an archive that fails leaves no target at all.
#include "vorpane/extract/archive.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <linux/openat2.h>
#include <string>
#include <system_error>

#include "fuzz_support.hpp"

using namespace vorpane;
namespace fs = std::filesystem;

namespace {

// Where `link` (inside `root`) leads, resolved by the kernel without leaving `root`: EXDEV
// when the resolution would step outside.
bool leads_outside(int root, const fs::path& relative) {
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
        return false;
    }
    return errno == EXDEV;
}

void check_outcome(const fs::path& parent, const fs::path& target) {
    for (const auto& entry : fs::directory_iterator(parent)) {
        if (entry.path() != target) {
            fuzz::fail("extraction created " + entry.path().string() + " outside the target");
        }
    }
    if (!fs::exists(fs::symlink_status(target))) {
        return;
    }
    fuzz::expect(fs::is_directory(fs::symlink_status(target)), "the target is not a directory");
    int root = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    fuzz::expect(root >= 0, "cannot open the target");
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(target, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_symlink(ec) && leads_outside(root, fs::relative(it->path(), target))) {
            ::close(root);
            fuzz::fail("the link " + it->path().string() + " leads outside the target");
        }
    }
    ::close(root);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::ScratchDir scratch;
    static int archive = [] {
        int fd = ::memfd_create("archive", MFD_CLOEXEC);
        fuzz::expect(fd >= 0, "memfd_create failed");
        return fd;
    }();
    fuzz::expect(::ftruncate(archive, 0) == 0 &&
                     ::pwrite(archive, data, size, 0) == static_cast<ssize_t>(size) &&
                     ::lseek(archive, 0, SEEK_SET) == 0,
                 "cannot stage the archive");

    const fs::path parent = scratch.path() / "run";
    const fs::path target = parent / "target";
    fs::create_directories(parent);
    bool failed = true;
    try {
        extract::extract_tar_gz_safely(archive, target, "examples.tar.gz");
        failed = false;
    } catch (const extract::ArchiveMemberRefused& e) {
        fuzz::expect(fuzz::is_one_line(e.what()), "refusal message is not one line");
    } catch (const extract::ArchiveError& e) {
        fuzz::expect(fuzz::is_one_line(e.what()), "archive error message is not one line");
    } catch (const std::system_error& e) {
        fuzz::expect(fuzz::is_one_line(e.what()), "file system error message is not one line");
    }
    check_outcome(parent, target);
    fuzz::expect(!failed || !fs::exists(fs::symlink_status(target)),
                 "a failed extraction left the target behind");
    std::error_code ec;
    fs::remove_all(parent, ec);
    fuzz::expect(!ec, "cannot clean up after a run");
    return 0;
}

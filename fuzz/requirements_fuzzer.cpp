// Requirements files given with `install -r`: read through the same file path as the command.
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/install_flow.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

namespace {

constexpr std::string_view kSpace = " \t\n\r\f\v";

// One in-memory file, rewritten for every input and read back through /proc.
class MemFile {
  public:
    MemFile() : m_fd(::memfd_create("requirements", MFD_CLOEXEC)) {
        fuzz::expect(m_fd >= 0, "memfd_create failed");
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~MemFile() { ::close(m_fd); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    void assign(std::string_view content) {
        fuzz::expect(::ftruncate(m_fd, 0) == 0, "ftruncate failed");
        std::size_t done = 0;
        while (done < content.size()) {
            ssize_t n = ::pwrite(m_fd, content.data() + done, content.size() - done,
                                 static_cast<off_t>(done));
            fuzz::expect(n > 0, "pwrite failed");
            done += static_cast<std::size_t>(n);
        }
    }
    [[nodiscard]] const std::string& path() const { return m_path; }

  private:
    int m_fd;
    std::string m_path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    std::string_view content(reinterpret_cast<const char*>(data), size);
    file.assign(content);
    std::vector<std::string> names;
    try {
        names = modules::read_requirements_names(file.path());
    } catch (const core::VorpaneException& e) {
        // An option line ("-r", "--index-url", ...) is refused with one line, never passed on.
        fuzz::expect(fuzz::is_one_line(e.message()), "error message is not one line");
        fuzz::expect(e.message().find("Unsupported line in requirements file") == 0,
                     "an unexpected refusal");
        return 0;
    }

    auto lines = fuzz::split(content, '\n');
    fuzz::expect(names.size() <= lines.size(), "more names than lines");
    std::size_t line = 0;
    for (const auto& name : names) {
        fuzz::expect(!name.empty(), "an empty name");
        fuzz::expect(name.find('#') == std::string::npos, "a name holds a comment");
        fuzz::expect(kSpace.find(name.front()) == std::string_view::npos &&
                         kSpace.find(name.back()) == std::string_view::npos,
                     "a name is not trimmed");
        // Names come in file order, each from its own line.
        while (line < lines.size() && lines[line].find(name) == std::string::npos) {
            ++line;
        }
        fuzz::expect(line < lines.size(), "a name that no line holds, or out of order");
        ++line;
    }
    return 0;
}

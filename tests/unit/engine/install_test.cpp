#include "vorpane/cli/exceptions.hpp"
#include "vorpane/engine/install.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using test::ScopedEnv;

TEST(InstallModules, UvGetsTheWholeCommandLine) {
    test::ScopedHome home;
    const fs::path env = home.root() / "env";
    const fs::path log = home.root() / "uv.log";
    ScopedEnv venv("VIRTUAL_ENV", env.string());
    ScopedEnv log_var("CHILD_TOOL_LOG", log.string());
    fs::create_directories(env / "bin");
    fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool", env / "bin" / "uv");
    const IndexLocator locate = [] { return std::string("https://idx.example/simple"); };

    install_modules({"pkg-a", "pkg-b"}, true, true, std::vector<fs::path>{"extra.txt"}, locate);
    install_modules({"pkg"}, false, true, std::vector<fs::path>{"a.txt", "dir with space/b.txt"},
                    locate);
    install_modules({"pkg"}, false, false, std::nullopt, locate);

    std::vector<Args> runs;
    std::istringstream lines(test::read_file(log));
    for (std::string line; std::getline(lines, line);) {
        if (line == "program:uv") {
            runs.emplace_back();
        } else if (line.rfind("arg:", 0) == 0) {
            runs.back().push_back(line.substr(4));
        }
    }
    EXPECT_EQ(runs, (std::vector<Args>{
                        {"pip", "install", "pkg-a", "pkg-b", "--upgrade-package", "pkg-a",
                         "--upgrade-package", "pkg-b", "--index-url", "https://idx.example/simple",
                         "--dry-run", "-r", "extra.txt"},
                        {"pip", "install", "pkg", "--index-url", "https://idx.example/simple",
                         "--dry-run", "-r", "a.txt", "-r", "dir with space/b.txt"},
                        {"pip", "install", "pkg", "--index-url", "https://idx.example/simple"}}));
}

} // namespace
} // namespace vorpane::engine

#include "vorpane/core/errors.hpp"
#include "vorpane/engine/uv.hpp"

#include <gtest/gtest.h>

#include "support/runtime.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

TEST(PipList, NamesCompareNormalisedAndAnythingButAListOfPackagesIsRefused) {
    const auto packages = parse_pip_list(
        R"([{"name":"Zel_Foo..Core","version":"1.0","editable_project_location":"/src",)"
        R"("extra":{"nested":[1,true,null]}},{"name":"b","version":"2"},{"name":"B","version":"3"}])");
    EXPECT_EQ(packages.size(), 2U);
    EXPECT_EQ(packages.version_of("zel-foo-core"), "1.0");
    EXPECT_EQ(packages.version_of("ZEL.FOO_core"), "1.0");
    EXPECT_EQ(packages.version_of("b"), "3");
    EXPECT_EQ(packages.version_of("zel-foo"), std::nullopt);
    EXPECT_EQ(normalized_package_name("A__b-.-C"), "a-b-c");

    const std::string deep = std::string(70, '[') + std::string(70, ']');
    std::string many = R"([{"name":"a","version":"1","x":[)";
    for (std::size_t i = 0; i < MAX_PIP_LIST_VALUES; ++i) {
        many += "0,";
    }
    many += "0]}]";
    for (const auto& [output, why] : std::vector<std::pair<std::string, std::string>>{
             {"", "not valid JSON (at byte 1)"},
             {"[] x", "not valid JSON (at byte 4)"},
             {R"({"name":"a"})", "not a JSON array"},
             {"7", "not a JSON array"},
             {R"(["a"])", "an entry that is not a JSON object"},
             {"[[]]", "an entry that is not a JSON object"},
             {R"([{"name":"a","version":1}])",
              "an entry without a \"name\" and a \"version\" string"},
             {R"([{"version":"1"}])", "an entry without a \"name\" and a \"version\" string"},
             {deep, "an entry that is not a JSON object"},
             {"[{\"x\":" + deep + "}]", "nested more than 64 levels deep"},
             {many, "more than 1000000 values"},
             {std::string(MAX_PIP_LIST_BYTES + 1, ' '), "more than 64 MiB"},
         }) {
        EXPECT_EQ(test::what_of<core::VorpaneUVException>([&] { (void)parse_pip_list(output); }),
                  "uv pip list answered something that is not a package list: " + why)
            << output.substr(0, 40);
    }
}

fs::path stand_in(const fs::path& dir, const std::string& program) {
    fs::create_directories(dir);
    fs::create_symlink(fs::path(VORPANE_TEST_HELPERS_DIR) / "child_tool", dir / program);
    return dir / program;
}

// A throw-away HOME with a fake environment at <root>/env holding the uv stand-in, active
// through VIRTUAL_ENV, and an empty PATH directory.
class UvRunner : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(m_path_dir);
        stand_in(m_env / "bin", "uv");
    }

    test::ScopedHome m_home;
    fs::path m_env = m_home.root() / "env";
    fs::path m_path_dir = m_home.root() / "path";
    ScopedEnv m_venv{"VIRTUAL_ENV", m_env.string()};
    ScopedEnv m_path{"PATH", m_path_dir.string()};
};

TEST_F(UvRunner, MissingUvSaysWhereItLooked) {
    fs::remove(m_env / "bin" / "uv");
    try {
        (void)test::TestRuntime().rt().target.uv();
        FAIL() << "uv found";
    } catch (const UvNotFound& e) {
        EXPECT_EQ(std::string(e.what()),
                  "uv not found in " + (m_env / "bin").string() +
                      " or on PATH: uv must be installed (for example with \"pip install uv\")");
    }
}

TEST_F(UvRunner, AFailedRunCarriesItsStatusAndTheArgumentsEscaped) {
    ScopedEnv code("CHILD_TOOL_EXIT_UV", "2");
    ScopedEnv log("CHILD_TOOL_LOG", (m_home.root() / "uv.log").string());
    try {
        (void)run_uv_in_python(test::TestRuntime().rt(), {"pip", "show", "a\x1b[2J\u009bb"});
        ADD_FAILURE() << "no exception";
    } catch (const core::VorpaneUVException& e) {
        EXPECT_EQ(e.message(), "Error running uv with ('pip', 'show', 'a\\x1b[2J\\x9bb')");
        try {
            std::rethrow_if_nested(e);
            ADD_FAILURE() << "no cause";
        } catch (const UvFailed& cause) {
            EXPECT_EQ(cause.returncode(), 2);
            EXPECT_EQ(std::string(cause.what()), "uv exited with status 2");
        }
    }
}

} // namespace
} // namespace vorpane::engine

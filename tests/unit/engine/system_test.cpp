#include "vorpane/engine/system.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::engine {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using OptText = std::optional<std::string>;

TEST(Environment, DetectionPrefersVirtualEnvThenConda) {
    test::ScopedHome home;
    struct Case {
        OptText venv;
        OptText conda;
        std::string detected;
        std::string child_venv;
    };
    for (const Case& c : {Case{"/opt/venv", "/opt/conda", "/opt/venv", "/opt/venv"},
                          Case{"", "/opt/conda", "/opt/conda", "/opt/conda"},
                          Case{std::nullopt, "/opt/conda/", "/opt/conda/", "/opt/conda"},
                          Case{"/opt/env/", std::nullopt, "/opt/env/", "/opt/env"}}) {
        ScopedEnv venv("VIRTUAL_ENV", c.venv);
        ScopedEnv conda("CONDA_PREFIX", c.conda);
        ScopedEnv other("VORPANE_SYSTEM_TEST_OTHER", "kept");
        EXPECT_EQ(detect_virtualenv(), c.detected);
        // The child gets a full copy with the normalised root; the tool's own stays as it was.
        const auto env = _set_venv_environment();
        EXPECT_EQ(env.at("VIRTUAL_ENV"), c.child_venv);
        EXPECT_EQ(env.count("CONDA_PREFIX") ? OptText(env.at("CONDA_PREFIX")) : std::nullopt,
                  c.conda);
        EXPECT_EQ(env.at("VORPANE_SYSTEM_TEST_OTHER"), "kept");
        EXPECT_EQ(std::getenv("VIRTUAL_ENV") ? OptText(std::getenv("VIRTUAL_ENV")) : std::nullopt,
                  c.venv);
    }

    const std::vector<std::pair<std::string, std::string>> normalised = {
        {"/opt//env/./x/", "/opt/env/x"}, {"", "."}, {"env/.", "env"}};
    for (const auto& [text, expected] : normalised) {
        EXPECT_EQ(normalized_path_text(text), expected) << text;
    }
}

} // namespace
} // namespace vorpane::engine

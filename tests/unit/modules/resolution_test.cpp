// Name resolution and display titles.
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/modules/install_flow.hpp"

#include <gtest/gtest.h>

namespace vorpane::modules {
namespace {

using records::VorpaneEntitlement;

std::vector<VorpaneEntitlement> sample_modules() {
    return {
        {"Foo Bar App", "ENT_FOO_BAR_APP", {"foo-core", "foo-utils"}, {}},
        {"Foo", "ENT_FOO_FREE", {"foo-free"}, {}},
        {"Solver", "ENT_SOLVER", {"solver", "foo-core"}, {"ENT_FOO_BAR_APP"}},
    };
}

TEST(ModuleNames, WrittenFormsTitlesAndPackageOrder) {
    auto modules = sample_modules();
    for (const char* name : {"FOO_BAR_APP", "ENT_FOO_BAR_APP", "foo bar-app"}) {
        EXPECT_EQ(str_to_module(name, modules), "ENT_FOO_BAR_APP") << name;
    }
    // The display title of ENT_FOO_FREE carries a trailing space and is not a code form.
    EXPECT_EQ(str_to_module(module_code_to_name("ENT_FOO_FREE"), modules), std::nullopt);
    EXPECT_EQ(module_code_to_name("ENT_ZEL_3D_VIEW"), "Zel 3D View");
    EXPECT_EQ(module_code_to_name("ENT_FREEFORM"), "Form");
    // Packages follow the module order; a later record of a code wins.
    modules.push_back({"Solver v2", "ENT_SOLVER", {"solver2"}, {}});
    EXPECT_EQ(packages_of_modules({"ENT_SOLVER", "ENT_UNKNOWN", "ENT_FOO_FREE"}, modules),
              (std::vector<std::string>{"solver2", "foo-free"}));
}

TEST(Examples, PackageAndArtefactNames) {
    EXPECT_EQ(code_to_package_name("ENT_FOO_FREE"), "foo-examples");
    EXPECT_EQ(package_to_artefact_name("a-examples-b-examples"), "a");
    std::vector<std::string> available = {"foo-app", "foo-app-examples", "zel-bar-examples"};
    EXPECT_EQ(match_example_package("foo_app", available), "foo-app");
}

} // namespace
} // namespace vorpane::modules

// Name resolution, display titles, the entitlement list and the `uv pip show` parser.
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/modules/install_flow.hpp"

#include <gtest/gtest.h>

namespace vorpane::modules {
namespace {

using config::VorpaneEntitlement;

std::vector<VorpaneEntitlement> sample_modules() {
    return {
        {"Foo Bar App", "ENT_FOO_BAR_APP", {"foo-core", "foo-utils"}, {}},
        {"Foo", "ENT_FOO_FREE", {"foo-free"}, {}},
        {"Solver", "ENT_SOLVER", {"solver", "foo-core"}, {"ENT_FOO_BAR_APP"}},
    };
}

TEST(ModuleNames, EveryWrittenFormOfACodeFindsTheModule) {
    auto modules = sample_modules();
    for (const char* name :
         {"Foo Bar App", "foo-bar-app", "FOO_BAR_APP", "ENT_FOO_BAR_APP", "foo bar-app"}) {
        EXPECT_EQ(str_to_module(name, modules), "ENT_FOO_BAR_APP") << name;
    }
    EXPECT_EQ(str_to_module("foo free", modules), "ENT_FOO_FREE");
    // The display title of ENT_FOO_FREE carries a trailing space and is not a code form.
    EXPECT_EQ(str_to_module(_module_code_to_name("ENT_FOO_FREE"), modules), std::nullopt);
    EXPECT_EQ(str_to_module("foo-core", modules), std::nullopt);
    EXPECT_EQ(_normalize_name_for_module("ent_x"), "ENT_X");
    EXPECT_EQ(_normalize_name_for_module("x y-z"), "ENT_X_Y_Z");
    EXPECT_EQ(_module_code_to_name("ENT_FOO_BAR_APP"), "Foo Bar App");
    EXPECT_EQ(_module_code_to_name("ENT_ZEL_3D_VIEW"), "Zel 3D View");
    EXPECT_EQ(_module_code_to_name("ENT_FREEFORM"), "Form");
}

TEST(ModuleNames, ResolutionKeepsOrderAndDuplicatesAndPrefersModules) {
    auto modules = sample_modules();
    auto r = install_names_to_modules_and_packages(
        {"foo-bar-app", "solver", "nope", "foo-bar-app", "foo-core", "Solver"}, modules);
    EXPECT_EQ(r.module_codes, (std::vector<std::string>{"ENT_FOO_BAR_APP", "ENT_SOLVER",
                                                        "ENT_FOO_BAR_APP", "ENT_SOLVER"}));
    EXPECT_EQ(r.package_names, (std::vector<std::string>{"foo-core"}));
    EXPECT_EQ(r.error_names, (std::vector<std::string>{"nope"}));
    // Package matching is exact.
    EXPECT_EQ(str_to_package("Foo-Core", modules), std::nullopt);
    EXPECT_EQ(str_to_package("foo-utils", modules), "foo-utils");
}

TEST(ModuleNames, PackagesOfModulesFollowModuleOrderAndLaterCodesWin) {
    auto modules = sample_modules();
    modules.push_back({"Solver v2", "ENT_SOLVER", {"solver2"}, {}});
    EXPECT_EQ(list_of_module_codes_to_list_of_package_names(
                  {"ENT_SOLVER", "ENT_UNKNOWN", "ENT_FOO_FREE"}, modules),
              (std::vector<std::string>{"solver2", "foo-free"}));
}

TEST(PipShow, ParsesVersionAndIgnoresOddLines) {
    auto fields =
        parse_pip_show("Name: demo\nVersion: 1.2.3\nLocation: /x\nRequires: \nRequired-by: \n");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->at("version"), "1.2.3");
    EXPECT_EQ(fields->at("requires"), "");
    // Fewer than three pieces: nothing, even with a version line.
    EXPECT_EQ(parse_pip_show("Version: 1.0\n"), std::nullopt);
    EXPECT_EQ(parse_pip_show(""), std::nullopt);
    // Two separators on one line: ignored. Upper-case keys are folded.
    fields = parse_pip_show("VERSION: 2.0\nName: a: b\nx\n");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->at("version"), "2.0");
    EXPECT_EQ(fields->count("name"), 0u);
    // A later line wins; the value is kept as is.
    fields = parse_pip_show("Version: 1\nVersion:  2 \n\n");
    EXPECT_EQ(fields->at("version"), " 2 ");
}

TEST(Entitlements, PackageLessEntriesDroppedAndBadRecordsRejected) {
    Warnings warnings;
    auto list = parse_entitlements(R"([
        {"name": "A", "code": "ENT_A", "packages": ["a"], "required_entitlements": [], "extra": 1},
        {"name": "B", "code": "ENT_B", "packages": [], "required_entitlements": []},
        {"name": "C", "code": "ENT_C", "required_entitlements": []},
        {"name": "P", "code": "ENT_PKG_X", "packages": ["p"], "required_entitlements": []}
    ])",
                                   warnings);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(list[0].code, "ENT_A");
    EXPECT_EQ(list[1].code, "ENT_PKG_X");
    EXPECT_THROW(parse_entitlements("garbage{", warnings), std::runtime_error);
    EXPECT_THROW(parse_entitlements(R"({"a": 1})", warnings), std::runtime_error);
    EXPECT_THROW(
        parse_entitlements(
            R"([{"name": 1, "code": "ENT_A", "packages": ["a"], "required_entitlements": []}])",
            warnings),
        core::ValidationError);
}

TEST(Examples, PackageAndArtefactNames) {
    EXPECT_EQ(code_to_package_name("ENT_ZEL_FOO_APP"), "zel-foo-app-examples");
    EXPECT_EQ(code_to_package_name("ENT_FOO_FREE"), "foo-examples");
    EXPECT_EQ(package_to_artefact_name("zel-foo-app-examples"), "zel_foo_app");
    EXPECT_EQ(package_to_artefact_name("a-examples-b-examples"), "a");
    std::vector<std::string> available = {"foo-app", "foo-app-examples", "zel-bar-examples"};
    EXPECT_EQ(match_example_package("foo_app", available), "foo-app");
    EXPECT_EQ(match_example_package("bar", available), "zel-bar-examples");
    EXPECT_EQ(match_example_package("FOO_APP", available), std::nullopt);
    available.erase(available.begin());
    EXPECT_EQ(match_example_package("foo_app", available), "foo-app-examples");
}

} // namespace
} // namespace vorpane::modules

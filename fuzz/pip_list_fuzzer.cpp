// The output of `uv pip list --format json`, which comes from whatever the environment holds.
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/uv.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view output(reinterpret_cast<const char*>(data), size);
    engine::InstalledPackages packages;
    try {
        packages = engine::parse_pip_list(output);
    } catch (const core::VorpaneUVException& e) {
        fuzz::expect(e.message().find("not a package list") != std::string::npos,
                     "a refusal that does not say what was wrong");
        return 0;
    }
    // Whatever is accepted is a JSON array with at most one package per element.
    const auto tree = nlohmann::json::parse(output, nullptr, false);
    fuzz::expect(tree.is_array(), "accepted output that is not a JSON array");
    fuzz::expect(packages.size() <= tree.size(), "more packages than entries");
    for (const auto& entry : tree) {
        fuzz::expect(entry.is_object() && entry.contains("name") && entry["name"].is_string(),
                     "accepted an entry without a name");
        const auto version = packages.version_of(entry["name"].get<std::string>());
        fuzz::expect(version.has_value(), "an accepted entry cannot be looked up");
    }
    return 0;
}

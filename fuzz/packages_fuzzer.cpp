// The service's package list, read element by element into the example names that the result
// cache keeps, checked against the same list read from its parsed tree. Each element is also
// validated as a package record with its version operations.
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/modules/examples.hpp"
#include "vorpane/records/records.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

namespace {

// The tool finds its cache through XDG_CONFIG_HOME; the fuzzer's own lives in a scratch dir.
const std::filesystem::path& config_dir() {
    static fuzz::ScratchDir scratch;
    static const std::filesystem::path dir = [] {
        ::setenv("XDG_CONFIG_HOME", scratch.path().c_str(), 1);
        return config::get_config_dir();
    }();
    return dir;
}

void check_record(const nlohmann::json& element) {
    records::VorpanePackage package;
    try {
        package = records::VorpanePackage::from_json(element);
    } catch (const core::ValidationError& e) {
        fuzz::expect(!e.errors().empty(), "validation error lists no field");
        return;
    }
    auto newest = package.max_version();
    (void)package.needs_update();
    if (newest && !(package.installed_version && *newest == *package.installed_version)) {
        bool held = false;
        for (const auto& version : package.available_versions) {
            held = held || version == *newest;
        }
        fuzz::expect(held, "max_version returned a string the package does not hold");
    }
    fuzz::expect(records::VorpanePackage::from_json(package.to_json()) == package,
                 "a package record does not survive its JSON form");
}

// A run that may only use the cache: any request or child would be a fault here.
struct Offline : net::HttpClient, engine::ProcessRunner {
    net::HttpResponse send(const net::HttpRequest& /*request*/) override {
        fuzz::expect(false, "the package list was fetched instead of read from the cache");
        return {};
    }
    util::ProcessResult run(const std::vector<std::string>& /*argv*/,
                            const std::map<std::string, std::string>& /*env*/,
                            const util::ProcessOptions& /*options*/) override {
        fuzz::expect(false, "a child was started");
        return {};
    }
};

// What parse_package_list should make of `list`, read from its tree; `dropped` counts the
// elements it should warn about.
modules::PackageList expected_list(const nlohmann::json& list, std::size_t& dropped) {
    modules::PackageList expected;
    std::size_t kept = 0;
    for (const auto& element : list) {
        check_record(element);
        const auto key = element.is_object() ? element.find("key") : element.end();
        if (key == element.end() || !key->is_string()) {
            expected.malformed_element = expected.malformed_element.value_or(kept++);
            continue;
        }
        const auto& name = key->get_ref<const std::string&>();
        if (!records::is_valid_package_key(name)) {
            ++dropped;
            continue;
        }
        if (!expected.malformed_element && name.ends_with("examples")) {
            expected.examples.push_back(name);
        }
        ++kept;
    }
    return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& dir = config_dir();
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    modules::Warnings warnings;
    modules::PackageList parsed;
    try {
        parsed = modules::parse_package_list(body, warnings);
    } catch (const std::runtime_error& e) {
        fuzz::expect(fuzz::is_one_line(e.what()), "error message is not one line");
        fuzz::expect(warnings.empty(), "a refused list left warnings");
        return 0;
    }
    const nlohmann::json list = nlohmann::json::parse(body, nullptr, false);
    fuzz::expect(list.is_array(), "a list was read from what is not a JSON list");
    std::size_t dropped = 0;
    const auto expected = expected_list(list, dropped);
    fuzz::expect(parsed.examples == expected.examples &&
                     parsed.malformed_element == expected.malformed_element,
                 "the list read element by element differs from its tree");
    fuzz::expect(warnings.size() == dropped, "not one warning per dropped element");
    for (const auto& line : warnings) {
        fuzz::expect(fuzz::is_one_line(line), "a warning is not one line");
    }

    std::error_code ec;
    std::filesystem::remove(dir / config::CACHE_FILE_NAME, ec);
    {
        config::ResultCache cache(dir);
        nlohmann::json cached = {{"examples", parsed.examples}};
        if (parsed.malformed_element) {
            cached = {{"malformed_element", *parsed.malformed_element}};
        }
        fuzz::expect(cache.add_if_absent(config::cache_key(modules::PACKAGE_LIST_ANSWER), cached,
                                         modules::PACKAGE_LIST_ANSWER.ttl),
                     "the fresh cache refused the list");
    }
    core::Output out(core::TerminalInfo{}, core::Verbosity::normal, false,
                     [](int, std::string_view) { return 0; });
    core::SystemClock clock;
    Offline offline;
    modules::Context ctx(out, clock, offline, offline, config::process_environment());
    std::vector<std::string> names;
    try {
        names = modules::get_examples_packages(ctx).value;
    } catch (const std::runtime_error& e) {
        fuzz::expect(parsed.malformed_element.has_value(), "a well-formed list was refused");
        fuzz::expect(fuzz::is_one_line(e.what()), "error message is not one line");
        return 0;
    }
    fuzz::expect(names == parsed.examples, "the cache changed the example names");
    for (const auto& name : names) {
        fuzz::expect(name.ends_with("examples"), "a non-example package was picked");
        std::string artefact = modules::package_to_artefact_name(name);
        fuzz::expect(artefact.find('-') == std::string::npos, "an artefact name keeps a dash");
        if (name.find('_') == std::string::npos) {
            fuzz::expect(modules::match_example_package(name, names) == name,
                         "an example package does not match itself");
        }
    }
    return 0;
}

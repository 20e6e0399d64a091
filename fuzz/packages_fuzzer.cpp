// The service's package list: a JSON list stored in the result cache as the service sent it,
// from which the example download picks the example packages by key. Each element is also
// validated as a package record with its version operations.
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/config/records.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/examples.hpp"

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
        return config::_get_config_dir();
    }();
    return dir;
}

void check_record(const nlohmann::json& element) {
    config::VorpanePackage package;
    try {
        package = config::VorpanePackage::from_json(element);
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
    fuzz::expect(config::VorpanePackage::from_json(package.to_json()) == package,
                 "a package record does not survive its JSON form");
}

// A run that may only use the cache: any request or child would be a fault here.
struct Offline : util::HttpClient, engine::ProcessRunner {
    util::HttpResponse send(const util::HttpRequest& /*request*/) override {
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& dir = config_dir();
    nlohmann::json list =
        nlohmann::json::parse(reinterpret_cast<const char*>(data),
                              reinterpret_cast<const char*>(data) + size, nullptr, false);
    // The service client refuses anything but a JSON list before it reaches the cache.
    if (list.is_discarded() || !list.is_array()) {
        return 0;
    }
    for (const auto& element : list) {
        check_record(element);
    }

    std::error_code ec;
    std::filesystem::remove(dir / config::CACHE_FILE_NAME, ec);
    {
        config::ResultCache cache(dir);
        fuzz::expect(cache.add_if_absent(config::cache_key(config::PACKAGES_IDENTITY), list,
                                         config::PACKAGES_TTL),
                     "the fresh cache refused the list");
    }
    // What the cache gives back is the list's JSON text read again (an out-of-range number
    // has no JSON text and reads back as null, here and from the service alike).
    core::Output out(core::TerminalInfo{}, core::Verbosity::normal, false,
                     [](int, std::string_view) { return 0; });
    core::SystemClock clock;
    Offline offline;
    modules::Context ctx(out, clock, offline, offline);
    fuzz::expect(modules::get_packages(ctx) == nlohmann::json::parse(list.dump()),
                 "the cache changed the package list");
    std::vector<std::string> names;
    try {
        names = modules::get_examples_packages(ctx);
    } catch (const std::runtime_error& e) {
        fuzz::expect(fuzz::is_one_line(e.what()), "error message is not one line");
        return 0;
    }
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

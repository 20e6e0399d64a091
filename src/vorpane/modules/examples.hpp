#pragma once

#include "vorpane/modules/context.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/records/records.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorpane::modules {

// The cached package list: online runs use it for 300 seconds, offline ones for as long as it is
// kept. The identity is older than the function's name.
inline constexpr config::CachedOperation PACKAGE_LIST_ANSWER{
    "vorpane.modules.get_examples_packages", "966a5498b802cec31507ca1448c3e4b3",
    config::DEFAULT_CACHE_TTL, true, "package list"};

// What the tool keeps of the account's package list (GET "/packages?limit=99"), cached
// (PACKAGE_LIST_ANSWER, stored as {"examples": [...]}); names dropped from a fresh answer come
// back as warnings. Offline the stored list, or OfflineError.
WithWarnings<PackageList> get_packages(Context& ctx);

// The keys of get_packages() that end in "examples", in list order. A key that is not a valid
// package name (and so not a safe directory name) is left out with a warning. Throws
// std::runtime_error for a list with an element that is not an object with a string "key".
WithWarnings<std::vector<std::string>> get_examples_packages(Context& ctx);

// "ENT_ZEL_FOO_APP" -> "zel-foo-app-examples".
std::string code_to_package_name(const std::string& code);

// "zel-foo-app-examples" -> "zel_foo_app".
std::string package_to_artefact_name(const std::string& package_name);

// The example packages whose name is expected by one of the account's modules.
// Warnings: those of the entitlements, then those of the package list.
WithWarnings<std::vector<std::string>> get_entitled_examples_packages(Context& ctx);

// The download directory: `download_dir` or the default examples directory. Throws
// core::VorpaneException "Could not find download directory for examples!" when it does not exist.
std::filesystem::path
normalize_download_dir(Context& ctx, const std::optional<std::filesystem::path>& download_dir);

// The first of `name`, `name-examples`, `zel-name-examples` ("_" read as "-") in `available`.
std::optional<std::string> match_example_package(const std::string& name,
                                                 const std::vector<std::string>& available);

// What `download-examples` is going to fetch.
struct ExamplesPlan {
    // The download directory.
    std::filesystem::path dir;
    // The example packages to fetch, in order.
    std::vector<std::string> packages;
    // The module names given that match no example package.
    std::vector<std::string> unmatched;
    // The bound on what one archive may unpack to: VORPANE_MAX_UNPACK_BYTES, else 16 GiB.
    std::uint64_t max_unpack_bytes = 0;
    // How many downloads run at once: VORPANE_MAX_DOWNLOADS (1 to 64), else 8.
    unsigned max_downloads = 0;
    // What the service calls warned about.
    Warnings warnings;
};

// Matches `module_names` against the account's example packages (no names: all of them).
// Throws core::VorpaneException for a missing directory or a bad VORPANE_MAX_UNPACK_BYTES or
// VORPANE_MAX_DOWNLOADS, and
// what the service calls throw.
ExamplesPlan plan_examples(Context& ctx,
                           const std::optional<std::filesystem::path>& download_dir,
                           const std::vector<std::string>& module_names);

// How one download ended.
struct DownloadOutcome {
    std::string package;
    std::filesystem::path target;
    // Why it failed, one line, escaped: a status error ("404 Client Error: ..."), a transfer
    // that failed after its retries, or an archive that could not be unpacked.
    std::optional<std::string> error;
};

// Downloads and unpacks every package of `plan` concurrently through ctx.http (retries and
// resumed bodies included), with progress bars on ctx.out; `on_finished` runs as each one ends.
// No failed download stops the others. Every target is checked to be a directory of its own
// inside the download directory before anything is fetched. Returns the outcomes in plan order.
// Throws core::VorpaneException for a bad target, what create_get_request throws, and what
// `on_finished` throws.
std::vector<DownloadOutcome>
download_examples(Context& ctx,
                  const ExamplesPlan& plan,
                  const std::function<void(const DownloadOutcome&)>& on_finished);

// Every requirements.txt below the target of each outcome, in outcome order: (package, file).
std::vector<std::pair<std::string, std::filesystem::path>>
requirement_hints(const std::vector<DownloadOutcome>& outcomes);

} // namespace vorpane::modules

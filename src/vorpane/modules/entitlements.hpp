#pragma once

#include "vorpane/config/cache.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/modules/context.hpp"
#include "vorpane/records/records.hpp"

#include <cstddef>
#include <exception>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::modules {

// Warning lines about what an answer of the service held that was dropped, for the caller to
// show on standard error.
using Warnings = std::vector<std::string>;

// A result, and the warnings that came with it, in the order they arose.
template <class T> struct WithWarnings {
    T value;
    Warnings warnings;
};

// The cached entitlement list: online runs use it for 30 seconds, offline ones for as long as it
// is kept.
inline constexpr config::CachedOperation ENTITLEMENTS_ANSWER{
    "vorpane.modules.get_user_entitlements", "d22c9858ef033f306c9c67d109a09438", 30, true,
    "entitlements"};

// The account's entitlements that list at least one package, in the service's order; cached
// (ENTITLEMENTS_ANSWER), offline the stored ones or OfflineError. Names dropped from a fresh answer
// come back as warnings. Throws the HTTP client's errors, api::NoAccessToken and
// core::ValidationError for bad records.
WithWarnings<std::vector<records::VorpaneEntitlement>> get_user_entitlements(Context& ctx);

// get_user_entitlements() without the entitlements whose code begins with "ENT_PKG".
WithWarnings<std::vector<records::VorpaneEntitlement>> get_all_entitled_modules(Context& ctx);

// Parses an entitlement answer body: a JSON array of entitlement objects; elements with no
// packages are dropped. An entitlement whose code fails records::is_valid_entitlement_code, and a
// package key that fails records::is_valid_package_key, is dropped with one line added to
// `warnings` naming it (escaped); an entitlement left without packages is dropped too.
// Throws api::ServiceAnswerError for a body that is not JSON or nests too deep,
// std::runtime_error for one that is not an array, core::ValidationError for elements that are not
// valid records.
std::vector<records::VorpaneEntitlement> parse_entitlements(std::string_view body,
                                                            Warnings& warnings);

// What the tool keeps of a package list: the example download reads nothing else.
struct PackageList {
    // The valid keys that end in "examples", in list order.
    std::vector<std::string> examples;
    // The position of the first element that is not an object with a string "key", counting
    // the elements that were not dropped; no examples are kept once there is one.
    std::optional<std::size_t> malformed_element;
};

// Parses a package-list answer body (GET "/packages"), a JSON array, without building its tree.
// An element whose string "key" fails records::is_valid_package_key is dropped with one line added
// to `warnings` naming it (escaped). Throws api::ServiceAnswerError for a body that is not JSON,
// nests too deep or holds too many values, and std::runtime_error for one that is not an array.
PackageList parse_package_list(std::string_view body, Warnings& warnings);

// The module key: the code without its "ENT_" prefix.
std::string module_key(const records::VorpaneEntitlement& module);

// One module of the listing, its packages with the versions installed in the target environment.
struct ListedModule {
    std::string name;
    std::string key;
    std::string code;
    std::vector<records::VorpanePackage> packages;
};

// The distributions installed in the target environment, asked of uv (one `uv pip list` run)
// on a thread of its own from construction on, so that a listing costs about the longer of that
// run and the service requests the caller makes meanwhile, not their sum. The target environment
// and uv are found on the constructing thread; what finding or running them throws is kept for
// get(), so a listing that needs no package never fails for them. Destruction waits for the run.
class InstalledQuery {
  public:
    explicit InstalledQuery(Context& ctx);
    InstalledQuery(const InstalledQuery&) = delete;
    InstalledQuery& operator=(const InstalledQuery&) = delete;
    ~InstalledQuery();

    // The answer, waiting for it; throws what engine::list_installed_packages threw.
    const engine::InstalledPackages& get();

  private:
    std::exception_ptr m_error;
    std::future<engine::InstalledPackages> m_run;
    std::optional<engine::InstalledPackages> m_answer;
};

// `entitled` in order, each package with its installed version (std::nullopt when it is not
// installed) from `installed`, which is only asked when there is a package. Throws
// core::VorpaneException for a package key that is not a valid name, and what
// InstalledQuery::get throws.
std::vector<ListedModule>
list_installed_state(const std::vector<records::VorpaneEntitlement>& entitled,
                     InstalledQuery& installed);

} // namespace vorpane::modules

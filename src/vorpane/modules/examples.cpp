#include "vorpane/modules/examples.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/extract/archive.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/net/downloader.hpp"
#include "vorpane/net/http.hpp"
#include "vorpane/util/redact.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <set>
#include <stdexcept>

namespace vorpane::modules {

namespace {

namespace fs = std::filesystem;

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void erase_all(std::string& text, const std::string& what) {
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos)) {
        text.erase(pos, what.size());
    }
}

// The form of a PackageList in the result cache: {"examples": [names]}, or
// {"malformed_element": N}. The names are moved, not copied: the list may be large.
nlohmann::json to_cached(PackageList list) {
    if (list.malformed_element) {
        return {{"malformed_element", *list.malformed_element}};
    }
    nlohmann::json names = nlohmann::json::array();
    names.get_ref<nlohmann::json::array_t&>().reserve(list.examples.size());
    for (auto& name : list.examples) {
        names.emplace_back(std::move(name));
    }
    nlohmann::json cached = nlohmann::json::object();
    cached["examples"] = std::move(names);
    return cached;
}

// The PackageList of to_cached(); what does not fit that form is ignored.
PackageList from_cached(nlohmann::json cached) {
    PackageList list;
    if (!cached.is_object()) {
        return list;
    }
    if (auto at = cached.find("malformed_element");
        at != cached.end() && at->is_number_unsigned()) {
        list.malformed_element = at->get<std::size_t>();
    }
    if (auto names = cached.find("examples"); names != cached.end() && names->is_array()) {
        list.examples.reserve(names->size());
        for (auto& name : *names) {
            if (name.is_string()) {
                list.examples.push_back(std::move(name.get_ref<std::string&>()));
            }
        }
    }
    return list;
}

nlohmann::json fetch_packages(Context& ctx, Warnings& warnings) {
    // The body is freed as soon as it is parsed: only the example names are kept.
    PackageList list =
        parse_package_list(api::get_success("/packages?limit=99", ctx.service()).body, warnings);
    return to_cached(std::move(list));
}

// Every requirements.txt below `dir`, in a stable order.
std::vector<fs::path> find_requirements(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        return found;
    }
    for (auto it = fs::recursive_directory_iterator(
             dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename() == "requirements.txt" && it->is_regular_file(ec)) {
            found.push_back(it->path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The bound on what one example archive may unpack to: VORPANE_MAX_UNPACK_BYTES, else 16 GiB.
std::uint64_t max_unpack_bytes(const Context& ctx) {
    const auto text = ctx.env("VORPANE_MAX_UNPACK_BYTES");
    if (!text || text->empty()) {
        return extract::DEFAULT_MAX_UNPACK_BYTES;
    }
    std::uint64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end || value == 0) {
        throw core::VorpaneException(
            "VORPANE_MAX_UNPACK_BYTES must be a whole number of bytes above 0, "
            "not \"" +
            util::escape_control(*text) + "\"");
    }
    return value;
}

// How many downloads run at once: VORPANE_MAX_DOWNLOADS, else 8.
unsigned max_downloads(const Context& ctx) {
    const std::string text = ctx.env("VORPANE_MAX_DOWNLOADS").value_or("");
    const auto value = net::parse_max_downloads(text);
    if (!value) {
        throw core::VorpaneException("VORPANE_MAX_DOWNLOADS must be a whole number from 1 to " +
                                     std::to_string(net::MAX_MAX_DOWNLOADS) + ", not \"" +
                                     util::escape_control(text) + "\"");
    }
    return *value;
}

// `dir` / `name`, checked to be a directory of its own right inside `dir`, both by the names
// and by what is on disk, so that nothing is ever unpacked elsewhere. Throws
// core::VorpaneException.
fs::path example_target(const fs::path& dir, const std::string& name) {
    fs::path target = dir / name;
    const fs::path relative = target.lexically_normal().lexically_relative(dir.lexically_normal());
    bool inside = std::distance(relative.begin(), relative.end()) == 1 &&
                  relative == fs::path(name) && name != "." && name != "..";
    std::error_code ec;
    if (inside) {
        const fs::path real_dir = fs::canonical(dir, ec);
        inside = !ec && !fs::is_symlink(fs::symlink_status(target, ec)) &&
                 fs::weakly_canonical(target, ec) == real_dir / name && !ec;
    }
    if (!inside) {
        throw core::VorpaneException(
            "Refusing to unpack the examples for " + util::escape_control(name) + " into " +
            util::escape_control(target.string()) +
            ": it is not a directory of its own inside the download directory");
    }
    return target;
}

} // namespace

WithWarnings<PackageList> get_packages(Context& ctx) {
    WithWarnings<PackageList> result;
    result.value = from_cached(
        ctx.answer(PACKAGE_LIST_ANSWER, [&] { return fetch_packages(ctx, result.warnings); }));
    return result;
}

WithWarnings<std::vector<std::string>> get_examples_packages(Context& ctx) {
    WithWarnings<PackageList> found = get_packages(ctx);
    PackageList& packages = found.value;
    Warnings& warnings = found.warnings;
    if (packages.malformed_element) {
        throw std::runtime_error("The package list from the service is malformed: element " +
                                 std::to_string(*packages.malformed_element) +
                                 " has no text \"key\"");
    }
    std::erase_if(packages.examples, [&warnings](const std::string& name) {
        // The name becomes a directory name below the download directory. The list was checked
        // when it came in; this guards against a damaged cache.
        if (!ends_with(name, "examples")) {
            return true;
        }
        if (!records::is_valid_package_key(name)) {
            warnings.push_back("Warning: ignored the package \"" + util::escape_control(name) +
                               "\" from the service: not a valid package name");
            return true;
        }
        return false;
    });
    return {std::move(packages.examples), std::move(warnings)};
}

std::string code_to_package_name(const std::string& code) {
    std::string name = code;
    erase_all(name, "ENT_");
    erase_all(name, "_FREE");
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const char* space = " \t\n\r\f\v";
    size_t begin = name.find_first_not_of(space);
    name = begin == std::string::npos
               ? ""
               : name.substr(begin, name.find_last_not_of(space) - begin + 1);
    std::replace(name.begin(), name.end(), ' ', '-');
    std::replace(name.begin(), name.end(), '_', '-');
    return name + "-examples";
}

std::string package_to_artefact_name(const std::string& package_name) {
    std::string name = package_name.substr(0, package_name.find("-examples"));
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

WithWarnings<std::vector<std::string>> get_entitled_examples_packages(Context& ctx) {
    WithWarnings<std::vector<std::string>> entitled;
    std::set<std::string> expected;
    auto modules = get_all_entitled_modules(ctx);
    for (const auto& module : modules.value) {
        expected.insert(code_to_package_name(module.code));
    }
    auto examples = get_examples_packages(ctx);
    for (const auto& name : examples.value) {
        if (expected.contains(name)) {
            entitled.value.push_back(name);
        }
    }
    entitled.warnings = std::move(modules.warnings);
    entitled.warnings.insert(entitled.warnings.end(), examples.warnings.begin(),
                             examples.warnings.end());
    return entitled;
}

fs::path normalize_download_dir(Context& ctx, const std::optional<fs::path>& download_dir) {
    fs::path dir = download_dir ? *download_dir : ctx.examples_dir();
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        throw core::VorpaneException("Could not find download directory for examples!");
    }
    return dir;
}

std::optional<std::string> match_example_package(const std::string& name,
                                                 const std::vector<std::string>& available) {
    std::string dashed = name;
    std::replace(dashed.begin(), dashed.end(), '_', '-');
    for (const std::string& candidate :
         {dashed, dashed + "-examples", "zel-" + dashed + "-examples"}) {
        if (std::find(available.begin(), available.end(), candidate) != available.end()) {
            return candidate;
        }
    }
    return std::nullopt;
}

ExamplesPlan plan_examples(Context& ctx,
                           const std::optional<fs::path>& download_dir,
                           const std::vector<std::string>& module_names) {
    ExamplesPlan plan;
    plan.dir = normalize_download_dir(ctx, download_dir);
    plan.max_unpack_bytes = max_unpack_bytes(ctx);
    plan.max_downloads = max_downloads(ctx);
    auto [all_examples, warnings] = get_entitled_examples_packages(ctx);
    plan.warnings = std::move(warnings);
    if (module_names.empty()) {
        plan.packages = all_examples;
        return plan;
    }
    for (const auto& name : module_names) {
        if (auto match = match_example_package(name, all_examples)) {
            plan.packages.push_back(*match);
        } else {
            plan.unmatched.push_back(name);
        }
    }
    return plan;
}

std::vector<DownloadOutcome>
download_examples(Context& ctx,
                  const ExamplesPlan& plan,
                  const std::function<void(const DownloadOutcome&)>& on_finished) {
    std::vector<net::DownloadJob> jobs;
    std::vector<DownloadOutcome> outcomes;
    if (ctx.offline()) {
        // Nothing is fetched: each download fails on its own, as an unreachable one would.
        for (const auto& package : plan.packages) {
            outcomes.push_back(
                DownloadOutcome{package, example_target(plan.dir, package), "offline"});
            on_finished(outcomes.back());
        }
        return outcomes;
    }
    const api::ServiceAccess service = ctx.service();
    for (const auto& package : plan.packages) {
        fs::path target = example_target(plan.dir, package);
        auto request = api::create_get_request(
            "/artifacts/examples/" + package_to_artefact_name(package) + ".tar.gz", service);
        jobs.push_back(net::DownloadJob{request.url, request.headers,
                                        "Downloading examples for " + util::escape_control(package),
                                        plan.dir});
        outcomes.push_back(DownloadOutcome{package, std::move(target), std::nullopt});
    }
    net::DownloadHandlers handlers;
    handlers.consume = [&](size_t index, int fd) {
        extract::extract_tar_gz_safely(fd, outcomes[index].target, outcomes[index].package,
                                       plan.max_unpack_bytes);
    };
    handlers.finished = [&](size_t index, const std::optional<std::string>& error) {
        outcomes[index].error = error;
        on_finished(outcomes[index]);
    };
    net::DownloadLimits limits;
    limits.max_in_flight = plan.max_downloads;
    ctx.http.download(jobs, handlers, ctx.out.progress_output(), limits);
    return outcomes;
}

std::vector<std::pair<std::string, fs::path>>
requirement_hints(const std::vector<DownloadOutcome>& outcomes) {
    std::vector<std::pair<std::string, fs::path>> hints;
    for (const auto& outcome : outcomes) {
        for (const auto& file : find_requirements(outcome.target)) {
            hints.emplace_back(outcome.package, file);
        }
    }
    return hints;
}

} // namespace vorpane::modules

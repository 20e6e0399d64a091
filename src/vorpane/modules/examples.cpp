#include "vorpane/modules/examples.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/modules/downloader.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/util/archive.hpp"
#include "vorpane/util/http.hpp"
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

nlohmann::json fetch_packages() {
    util::HttpResponse response =
        util::http_send(api::to_http_request(api::create_get_request("/packages?limit=99")));
    util::raise_for_status(response);
    return parse_package_list(response.body);
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
std::uint64_t max_unpack_bytes() {
    const auto text = config::process_env()("VORPANE_MAX_UNPACK_BYTES");
    if (!text || text->empty()) {
        return util::DEFAULT_MAX_UNPACK_BYTES;
    }
    std::uint64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end || value == 0) {
        throw VorpaneException("VORPANE_MAX_UNPACK_BYTES must be a whole number of bytes above 0, "
                               "not \"" +
                               util::escape_control(*text) + "\"");
    }
    return value;
}

// `dir` / `name`, checked to be a directory of its own right inside `dir`, both by the names
// and by what is on disk, so that nothing is ever unpacked elsewhere. Throws VorpaneException.
fs::path example_target(const fs::path& dir, const std::string& name) {
    const fs::path target = dir / name;
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
        throw VorpaneException("Refusing to unpack the examples for " + util::escape_control(name) +
                               " into " + util::escape_control(target.string()) +
                               ": it is not a directory of its own inside the download directory");
    }
    return target;
}

} // namespace

nlohmann::json get_packages() {
    config::ResultCache cache(config::_get_config_dir());
    return config::cached_call(cache, config::PACKAGES_IDENTITY, config::PACKAGES_TTL,
                               fetch_packages);
}

std::vector<std::string> get_examples_packages() {
    std::vector<std::string> names;
    nlohmann::json packages = get_packages();
    for (size_t i = 0; i < packages.size(); ++i) {
        const auto& element = packages[i];
        auto key = element.is_object() ? element.find("key") : element.end();
        if (!element.is_object() || key == element.end() || !key->is_string()) {
            throw std::runtime_error("The package list from the service is malformed: element " +
                                     std::to_string(i) + " has no text \"key\"");
        }
        const std::string& name = key->get_ref<const std::string&>();
        if (!ends_with(name, "examples")) {
            continue;
        }
        // The name becomes a directory name below the download directory. The list was checked
        // when it came in; this guards against a cache written by an older version.
        if (!config::is_valid_package_key(name)) {
            send_error("Warning: ignored the package \"" + util::escape_control(name) +
                       "\" from the service: not a valid package name");
            continue;
        }
        names.push_back(name);
    }
    return names;
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

std::vector<std::string> get_entitled_examples_packages() {
    std::set<std::string> expected;
    for (const auto& module : get_all_entitled_modules()) {
        expected.insert(code_to_package_name(module.code));
    }
    std::vector<std::string> entitled;
    for (const auto& name : get_examples_packages()) {
        if (expected.contains(name)) {
            entitled.push_back(name);
        }
    }
    return entitled;
}

fs::path _normalize_download_dir(const std::optional<fs::path>& download_dir) {
    fs::path dir = download_dir ? *download_dir : config::get_default_examples_dir();
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        throw VorpaneException("Could not find download directory for examples!");
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

void download_examples(const std::optional<fs::path>& download_dir,
                       const std::vector<std::string>& module_names) {
    fs::path dir = _normalize_download_dir(download_dir);
    const std::uint64_t max_bytes = max_unpack_bytes();
    std::vector<std::string> all_examples = get_entitled_examples_packages();
    std::vector<std::string> packages;
    if (!module_names.empty()) {
        for (const auto& name : module_names) {
            if (auto match = match_example_package(name, all_examples)) {
                packages.push_back(*match);
                continue;
            }
            send_message("Package " + util::escape_control(name) + " not found in examples!");
            send_message("Use " + style("vorpane download-examples --list-available", "green") +
                         " to see available examples.");
            send_message("\n");
        }
    } else {
        send_message("Downloading examples for all available packages to " +
                     util::escape_control(dir.string()));
        packages = all_examples;
    }

    std::vector<DownloadJob> jobs;
    for (const auto& package : packages) {
        fs::path target = example_target(dir, package);
        auto request = api::create_get_request("/artifacts/examples/" +
                                               package_to_artefact_name(package) + ".tar.gz");
        jobs.push_back(
            DownloadJob{package, request.url, request.headers, std::move(target), max_bytes});
    }
    std::vector<std::string> failed;
    run_downloads(jobs, [&](const DownloadJob& job, const std::optional<std::string>& error) {
        const std::string name = util::escape_control(job.name);
        if (error) {
            failed.push_back(name);
            send_message(style("Error downloading examples for " + name + ": " +
                                   util::escape_control(*error),
                               "red"));
        } else {
            send_message(style("Successfully downloaded examples for " + name + " to " +
                                   util::escape_control(job.target.string()),
                               "green"));
        }
    });

    for (const auto& job : jobs) {
        for (const auto& file : find_requirements(job.target)) {
            send_message("Examples for " + util::escape_control(job.name) +
                         " require additional pacakges.To install these dependencies run the "
                         "following command:");
            send_message(
                style("vorpane install -r " + util::escape_control(file.string()), "yellow"));
        }
    }
    if (!failed.empty()) {
        std::string names;
        for (const auto& name : failed) {
            names += (names.empty() ? "" : ", ") + name;
        }
        throw VorpaneException("Could not download the examples for " + names);
    }
}

} // namespace vorpane::modules

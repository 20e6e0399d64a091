#include "vorpane/modules/examples.hpp"

#include "vorpane/api/request.hpp"
#include "vorpane/cli/exceptions.hpp"
#include "vorpane/cli/messages.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/modules/downloader.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/util/http.hpp"

#include <algorithm>
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
    nlohmann::json doc = nlohmann::json::parse(response.body, nullptr, false);
    if (doc.is_discarded() || !doc.is_array()) {
        throw std::runtime_error("The package list from the service is not a JSON list");
    }
    return doc;
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
        if (ends_with(key->get<std::string>(), "examples")) {
            names.push_back(key->get<std::string>());
        }
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
    std::vector<std::string> all_examples = get_entitled_examples_packages();
    std::vector<std::string> packages;
    if (!module_names.empty()) {
        for (const auto& name : module_names) {
            if (auto match = match_example_package(name, all_examples)) {
                packages.push_back(*match);
                continue;
            }
            send_message("Package " + name + " not found in examples!");
            send_message("Use " + style("vorpane download-examples --list-available", "green") +
                         " to see available examples.");
            send_message("\n");
        }
    } else {
        send_message("Downloading examples for all available packages to " + dir.string());
        packages = all_examples;
    }

    std::vector<DownloadJob> jobs;
    for (const auto& package : packages) {
        auto request = api::create_get_request("/artifacts/examples/" +
                                               package_to_artefact_name(package) + ".tar.gz");
        jobs.push_back(DownloadJob{package, request.url, request.headers, dir / package});
    }
    run_downloads(jobs, [](const DownloadJob& job, const std::optional<std::string>& error) {
        if (error) {
            send_message(
                style("Error downloading examples for " + job.name + ": " + *error, "red"));
        } else {
            send_message(style("Successfully downloaded examples for " + job.name + " to " +
                                   job.target.string(),
                               "green"));
        }
    });

    for (const auto& package : packages) {
        for (const auto& file : find_requirements(dir / package)) {
            send_message("Examples for " + package +
                         " require additional pacakges.To install these dependencies run the "
                         "following command:");
            send_message(style("vorpane install -r " + file.string(), "yellow"));
        }
    }
}

} // namespace vorpane::modules

#pragma once

#include "vorpane/config/records.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorpane::modules {

// The package list of the account (GET "/packages?limit=99"), cached on disk for 300 seconds.
nlohmann::json get_packages();

// The keys of get_packages() that end in "examples", in list order. A key that is not a valid
// package name (and so not a safe directory name) is left out with a warning on standard error.
std::vector<std::string> get_examples_packages();

// "ENT_ZEL_FOO_APP" -> "zel-foo-app-examples".
std::string code_to_package_name(const std::string& code);

// "zel-foo-app-examples" -> "zel_foo_app".
std::string package_to_artefact_name(const std::string& package_name);

// The example packages whose name is expected by one of the account's modules.
std::vector<std::string> get_entitled_examples_packages();

// The download directory: `download_dir` or the default examples directory. Throws
// VorpaneException "Could not find download directory for examples!" when it does not exist.
std::filesystem::path
_normalize_download_dir(const std::optional<std::filesystem::path>& download_dir);

// The first of `name`, `name-examples`, `zel-name-examples` ("_" read as "-") in `available`.
std::optional<std::string> match_example_package(const std::string& name,
                                                 const std::vector<std::string>& available);

// The `download-examples` flow: match names, download and unpack concurrently, then point to
// every requirements.txt found. Every target is checked to be a directory of its own inside the
// download directory before anything is fetched; each archive may unpack to at most
// VORPANE_MAX_UNPACK_BYTES (default 16 GiB). Throws VorpaneException for a missing directory, a
// bad bound or target, and, after every download has ended and the hints are out, when any
// download was answered with an HTTP error; the errors of run_downloads otherwise.
void download_examples(const std::optional<std::filesystem::path>& download_dir,
                       const std::vector<std::string>& module_names);

} // namespace vorpane::modules

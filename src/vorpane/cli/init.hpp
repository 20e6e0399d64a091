#pragma once

#include "vorpane/config/records.hpp"

#include <optional>
#include <string>

namespace vorpane::cli {

// "dev.cloud" for exactly "dev.cloud" or "dev"; "cloud" for anything else, absent or empty.
std::string derive_cloud_environment(const std::optional<std::string>& cloud_environment);

// Stores a profile with `token_id`, `token` and the derived environment, keeping stored options
// when a valid configuration exists. Returns the stored profile. Throws ValidationError and the
// configuration file's I/O errors.
config::VorpaneProfile
init_user(const std::string& token_id,
          const std::string& token,
          const std::optional<std::string>& cloud_environment = std::nullopt);

// The `init` command: wipes the configuration directory, asks for what was not given, stores
// the profile with default options and prints the next steps. Throws VorpaneException when the
// credentials end up missing, Aborted at end of input.
void init_vorpane(const std::optional<std::string>& token_id,
                  const std::optional<std::string>& token,
                  const std::string& cloud_environment);

} // namespace vorpane::cli

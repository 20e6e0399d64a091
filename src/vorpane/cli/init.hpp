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

// The `init` command: asks for what was not given, then makes the profile with default options
// the whole configuration (config::replace_config: the old profile stays until the new one is
// stored, and cached answers and other non-backup files go) and prints the next steps. Throws
// VorpaneException when the credentials end up missing, Aborted at end of input, and
// replace_config's errors; until the new profile is stored nothing has changed.
void init_vorpane(const std::optional<std::string>& token_id,
                  const std::optional<std::string>& token,
                  const std::string& cloud_environment);

} // namespace vorpane::cli

#pragma once

#include "vorpane/config/dirs.hpp"
#include "vorpane/records/records.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::config {

// Throws core::VorpaneException naming `what` ("profile", "credential store") and the rule when
// `name` does not match PROFILE_NAME_RULE.
void check_profile_name(std::string_view what, std::string_view name);

// The profile VORPANE_PROFILE selects (the command line's --profile is passed on through it);
// std::nullopt for the default profile (unset or empty). Throws like check_profile_name.
std::optional<std::string> selected_profile(const EnvLookup& env);

// Where the profile `name` lives under the configuration directory `root`: root itself for the
// default profile (std::nullopt), else root/profiles/NAME. Pure.
std::filesystem::path profile_dir(const std::filesystem::path& root,
                                  const std::optional<std::string>& name);

// profile_dir(root, name), made (mode 0700) and checked like `root` on the way: a named profile
// is kept to the same rules as the default one. Throws like make_own_directory.
std::filesystem::path open_profile_dir(const std::filesystem::path& root,
                                       const std::optional<std::string>& name);

// One line of the profile listing.
struct ProfileSummary {
    // std::nullopt for the default profile.
    std::optional<std::string> name;
    // The stored record; std::nullopt when nothing is stored or the file is unusable.
    std::optional<records::VorpaneConfig> config;
    // Why the file cannot be used (one line); empty when it can or holds nothing.
    std::string error;
    // The profile in effect.
    bool active = false;
};

// The default profile first, then every directory in root/profiles with a valid name, in byte
// order; `active` names the profile in effect. A broken file is reported in its summary, never
// thrown. Reads nothing of another user's: such a profile is listed with an error.
std::vector<ProfileSummary> list_profiles(const std::filesystem::path& root,
                                          const std::optional<std::string>& active);

} // namespace vorpane::config

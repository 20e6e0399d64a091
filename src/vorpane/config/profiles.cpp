#include "vorpane/config/profiles.hpp"

#include "vorpane/config/config_file.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

#include <algorithm>

namespace vorpane::config {

namespace fs = std::filesystem;

namespace {

ProfileSummary summarize(const fs::path& dir, std::optional<std::string> name) {
    ProfileSummary summary{std::move(name), std::nullopt, {}, false};
    const fs::path file = dir / CONFIG_FILE_NAME;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec))) {
        return summary;
    }
    try {
        summary.config = read_config(file);
    } catch (const core::ValidationError& e) {
        // An empty file is a profile not set up yet, as today's default one after logout.
        if (fs::file_size(file, ec) != 0 || ec) {
            summary.error = "no valid profile" +
                            (e.errors().empty() ? std::string() : " (" + e.errors().front() + ")");
        }
    } catch (const std::exception& e) {
        const std::string reason = e.what();
        summary.error = util::escape_control(std::string(util::first_line(reason)));
    }
    return summary;
}

} // namespace

void check_profile_name(std::string_view what, std::string_view name) {
    if (!records::is_valid_profile_name(name)) {
        throw core::VorpaneException("invalid " + std::string(what) + " name \"" +
                                     util::escape_control(name) + "\": it must match " +
                                     std::string(records::PROFILE_NAME_RULE));
    }
}

std::optional<std::string> selected_profile(const EnvLookup& env) {
    auto name = non_empty_env(env, "VORPANE_PROFILE");
    if (name) {
        check_profile_name("profile", *name);
    }
    return name;
}

fs::path profile_dir(const fs::path& root, const std::optional<std::string>& name) {
    return name ? root / "profiles" / *name : root;
}

fs::path open_profile_dir(const fs::path& root, const std::optional<std::string>& name) {
    if (name) {
        make_own_directory(root / "profiles");
        make_own_directory(profile_dir(root, name));
    }
    return profile_dir(root, name);
}

std::vector<ProfileSummary> list_profiles(const fs::path& root,
                                          const std::optional<std::string>& active) {
    std::vector<ProfileSummary> profiles{summarize(root, std::nullopt)};
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root / "profiles", ec)) {
        const std::string name = entry.path().filename().string();
        if (records::is_valid_profile_name(name) && entry.is_directory(ec)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        try {
            make_own_directory(profile_dir(root, name));
            profiles.push_back(summarize(profile_dir(root, name), name));
        } catch (const std::exception& e) {
            const std::string reason = e.what();
            profiles.push_back({name, std::nullopt, std::string(util::first_line(reason)), false});
        }
    }
    for (auto& profile : profiles) {
        profile.active = profile.name == active;
    }
    return profiles;
}

} // namespace vorpane::config

#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::records {

// The closed set of cloud environments, compared exactly.
inline constexpr std::string_view CLOUD_ENVS[] = {"cloud", "dev.cloud"};

// True when `name` is one of CLOUD_ENVS.
bool is_cloud_env(std::string_view name);

// The longest package key or entitlement code the tool accepts, in bytes.
inline constexpr std::size_t MAX_NAME_BYTES = 200;

// True when `key` is a valid Python distribution name: ASCII letters, digits, ".", "_" and "-",
// starting and ending with a letter or digit, at most MAX_NAME_BYTES long. Such a name is also a
// single, harmless path component and can never be read as a command-line option. Every package key
// the service sends is checked with this before the tool uses it.
bool is_valid_package_key(std::string_view key);

// True when `code` is "ENT_" followed by a valid package key ("ENT_ZEL_FOO_APP").
bool is_valid_entitlement_code(std::string_view code);

// What a profile or a credential store may be called: a single, harmless path component.
inline constexpr std::string_view PROFILE_NAME_RULE = "[A-Za-z0-9][A-Za-z0-9._-]{0,63}";

// True when `name` matches PROFILE_NAME_RULE.
bool is_valid_profile_name(std::string_view name);

struct VorpaneProfile {
    std::string token_id;
    std::string token;
    std::string cloud_environment = "cloud";
    // The keyring helper ("docker-credential-NAME") that keeps the secret; empty when the secret
    // is `token` itself. With a store, `token` may be absent from the stored record.
    std::string credential_store = {};

    // Validates `value` (a JSON object of the fields); unknown keys are dropped.
    // Throws core::ValidationError listing every failing field, with `path` as prefix ("profile" or
    // "profile." both give "profile.token_id").
    static VorpaneProfile from_json(const nlohmann::json& value, const std::string& path = "");
    bool operator==(const VorpaneProfile&) const = default;
};

struct VorpaneOptions {
    bool advanced_mode = false;

    // Accepts true/false, 0/1 and "true","false","yes","no","on","off","t","f","y","n","1","0"
    // in any case for advanced_mode. Throws core::ValidationError.
    static VorpaneOptions from_json(const nlohmann::json& value, const std::string& path = "");
    bool operator==(const VorpaneOptions&) const = default;
};

struct VorpaneConfig {
    VorpaneProfile profile;
    VorpaneOptions options;

    // Throws core::ValidationError (profile is required; options default).
    static VorpaneConfig from_json(const nlohmann::json& value);
    bool operator==(const VorpaneConfig&) const = default;
};

struct VorpaneEntitlement {
    std::string name;
    std::string code;
    std::vector<std::string> packages;
    std::vector<std::string> required_entitlements;

    // Throws core::ValidationError; all four fields are required.
    static VorpaneEntitlement from_json(const nlohmann::json& value, const std::string& path = "");
    [[nodiscard]] nlohmann::json to_json() const;
    bool operator==(const VorpaneEntitlement&) const = default;
};

struct VorpanePackage {
    std::string key;
    std::optional<std::string> installed_version;
    std::vector<std::string> available_versions;

    // Validates `value`: key and available_versions are required, installed_version must be
    // present but may be null. Throws core::ValidationError.
    static VorpanePackage from_json(const nlohmann::json& value, const std::string& path = "");
    // installed_version is written as null when absent.
    [[nodiscard]] nlohmann::json to_json() const;

    // The highest of available_versions and installed_version by SemVer precedence, as a
    // string held by the record; std::nullopt when nothing valid can be said. Never throws
    // for invalid versions.
    [[nodiscard]] std::optional<std::string> max_version() const;
    // True when max_version() is strictly newer than installed_version (or nothing is
    // installed but a maximum exists). Never throws for invalid versions.
    [[nodiscard]] bool needs_update() const;
    bool operator==(const VorpanePackage&) const = default;
};

} // namespace vorpane::records

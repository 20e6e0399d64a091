#include "vorpane/records/records.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/records/semver.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace vorpane::records {

namespace {

using nlohmann::json;

// Collects the failures of one record so that all of them are reported together.
class FieldReader {
  public:
    FieldReader(const json& value, const std::string& path) : m_value(value) {
        if (!path.empty()) {
            m_prefix = path.back() == '.' ? path : path + ".";
        }
        if (!value.is_object()) {
            std::string where = path.empty() ? "(root)" : m_prefix.substr(0, m_prefix.size() - 1);
            m_errors.push_back(where + ": not a valid object");
            m_is_object = false;
        }
    }

    [[nodiscard]] std::string path_of(std::string_view name) const {
        return m_prefix + std::string(name);
    }

    // The member `name`, or null when absent; records "field required" when `required`.
    const json* member(std::string_view name, bool required) {
        if (!m_is_object) {
            return nullptr;
        }
        auto it = m_value.find(name);
        if (it == m_value.end()) {
            if (required) {
                fail(name, "field required");
            }
            return nullptr;
        }
        return &*it;
    }

    std::optional<std::string> string(std::string_view name, bool required) {
        const json* v = member(name, required);
        if (v == nullptr) {
            return std::nullopt;
        }
        if (!v->is_string()) {
            fail(name, "not a valid string");
            return std::nullopt;
        }
        return v->get<std::string>();
    }

    std::optional<std::vector<std::string>> string_list(std::string_view name) {
        const json* v = member(name, true);
        if (v == nullptr) {
            return std::nullopt;
        }
        if (!v->is_array()) {
            fail(name, "not a valid list");
            return std::nullopt;
        }
        std::vector<std::string> items;
        bool ok = true;
        for (std::size_t i = 0; i < v->size(); ++i) {
            const json& item = (*v)[i];
            if (item.is_string()) {
                items.push_back(item.get<std::string>());
            } else {
                fail(std::string(name) + "." + std::to_string(i), "not a valid string");
                ok = false;
            }
        }
        return ok ? std::optional(std::move(items)) : std::nullopt;
    }

    void fail(std::string_view name, std::string_view reason) {
        m_errors.push_back(path_of(name) + ": " + std::string(reason));
    }

    [[nodiscard]] std::vector<std::string>& errors() { return m_errors; }

    void throw_if_failed() const {
        if (!m_errors.empty()) {
            throw core::ValidationError(m_errors);
        }
    }

  private:
    const json& m_value;
    std::string m_prefix;
    std::vector<std::string> m_errors;
    bool m_is_object = true;
};

std::optional<bool> to_bool(const json& v) {
    if (v.is_boolean()) {
        return v.get<bool>();
    }
    if (v.is_number_unsigned()) {
        auto n = v.get<std::uint64_t>();
        return n <= 1 ? std::optional(n == 1) : std::nullopt;
    }
    if (v.is_number_integer()) {
        auto n = v.get<std::int64_t>();
        return n == 0 || n == 1 ? std::optional(n == 1) : std::nullopt;
    }
    if (v.is_number_float()) {
        auto n = v.get<double>();
        return n == 0.0 || n == 1.0 ? std::optional(n == 1.0) : std::nullopt;
    }
    if (v.is_string()) {
        std::string text = v.get<std::string>();
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        static constexpr std::array<std::string_view, 6> truthy = {"true", "yes", "on",
                                                                   "t",    "y",   "1"};
        static constexpr std::array<std::string_view, 6> falsy = {"false", "no", "off",
                                                                  "f",     "n",  "0"};
        if (std::find(truthy.begin(), truthy.end(), text) != truthy.end()) {
            return true;
        }
        if (std::find(falsy.begin(), falsy.end(), text) != falsy.end()) {
            return false;
        }
    }
    return std::nullopt;
}

std::string cloud_env_choices() {
    std::string text;
    for (auto env : CLOUD_ENVS) {
        text += (text.empty() ? "'" : ", '") + std::string(env) + "'";
    }
    return text;
}

// Runs a nested record's validation, moving its failures into `outer`.
template <class Record>
std::optional<Record> nested(FieldReader& outer, const json* value, const std::string& name) {
    if (value == nullptr) {
        return std::nullopt;
    }
    try {
        return Record::from_json(*value, outer.path_of(name));
    } catch (const core::ValidationError& e) {
        outer.errors().insert(outer.errors().end(), e.errors().begin(), e.errors().end());
        return std::nullopt;
    }
}

} // namespace

bool is_cloud_env(std::string_view name) {
    return std::find(std::begin(CLOUD_ENVS), std::end(CLOUD_ENVS), name) != std::end(CLOUD_ENVS);
}

bool is_valid_package_key(std::string_view key) {
    const auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (key.empty() || key.size() > MAX_NAME_BYTES || !alnum(key.front()) || !alnum(key.back())) {
        return false;
    }
    return std::all_of(key.begin(), key.end(),
                       [&](char c) { return alnum(c) || c == '.' || c == '_' || c == '-'; });
}

bool is_valid_profile_name(std::string_view name) {
    const auto name_char = [](char c, bool first) {
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        return alnum || (!first && (c == '.' || c == '_' || c == '-'));
    };
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (!name_char(name[i], i == 0)) {
            return false;
        }
    }
    return true;
}

bool is_valid_entitlement_code(std::string_view code) {
    return code.starts_with("ENT_") && is_valid_package_key(code.substr(4));
}

VorpaneProfile VorpaneProfile::from_json(const nlohmann::json& value, const std::string& path) {
    FieldReader reader(value, path);
    VorpaneProfile profile;
    auto token_id = reader.string("token_id", true);
    auto store = reader.string("credential_store", false);
    // With a credential store the secret is kept there, not here.
    auto token = reader.string("token", !store);
    auto env = reader.string("cloud_environment", false);
    if (env && !is_cloud_env(*env)) {
        reader.fail("cloud_environment", "must be one of " + cloud_env_choices());
    }
    if (store && !is_valid_profile_name(*store)) {
        reader.fail("credential_store", "must match " + std::string(PROFILE_NAME_RULE));
    }
    reader.throw_if_failed();
    profile.token_id = std::move(*token_id);
    profile.token = token.value_or("");
    profile.credential_store = store.value_or("");
    if (env) {
        profile.cloud_environment = std::move(*env);
    }
    return profile;
}

VorpaneOptions VorpaneOptions::from_json(const nlohmann::json& value, const std::string& path) {
    FieldReader reader(value, path);
    VorpaneOptions options;
    if (const json* v = reader.member("advanced_mode", false)) {
        if (auto flag = to_bool(*v)) {
            options.advanced_mode = *flag;
        } else {
            reader.fail("advanced_mode", "not a valid boolean");
        }
    }
    reader.throw_if_failed();
    return options;
}

VorpaneConfig VorpaneConfig::from_json(const nlohmann::json& value) {
    FieldReader reader(value, "");
    auto profile = nested<VorpaneProfile>(reader, reader.member("profile", true), "profile");
    auto options = nested<VorpaneOptions>(reader, reader.member("options", false), "options");
    reader.throw_if_failed();
    VorpaneConfig config{*profile, options.value_or(VorpaneOptions{})};
    return config;
}

VorpaneEntitlement VorpaneEntitlement::from_json(const nlohmann::json& value,
                                                 const std::string& path) {
    FieldReader reader(value, path);
    auto name = reader.string("name", true);
    auto code = reader.string("code", true);
    auto packages = reader.string_list("packages");
    auto required = reader.string_list("required_entitlements");
    reader.throw_if_failed();
    return {std::move(*name), std::move(*code), std::move(*packages), std::move(*required)};
}

nlohmann::json VorpaneEntitlement::to_json() const {
    return {{"name", name},
            {"code", code},
            {"packages", packages},
            {"required_entitlements", required_entitlements}};
}

VorpanePackage VorpanePackage::from_json(const nlohmann::json& value, const std::string& path) {
    FieldReader reader(value, path);
    auto key = reader.string("key", true);
    std::optional<std::string> installed;
    if (const json* v = reader.member("installed_version", true); v != nullptr && !v->is_null()) {
        if (v->is_string()) {
            installed = v->get<std::string>();
        } else {
            reader.fail("installed_version", "not a valid string");
        }
    }
    auto available = reader.string_list("available_versions");
    reader.throw_if_failed();
    return {std::move(*key), std::move(installed), std::move(*available)};
}

nlohmann::json VorpanePackage::to_json() const {
    return {{"key", key},
            {"installed_version", installed_version ? json(*installed_version) : json(nullptr)},
            {"available_versions", available_versions}};
}

std::optional<std::string> VorpanePackage::max_version() const {
    if (available_versions.empty()) {
        return installed_version;
    }
    try {
        // The element goes first so that, among equal versions, the later one in the list wins.
        std::string running = available_versions.front();
        for (std::size_t i = 1; i < available_versions.size(); ++i) {
            running = max_of(available_versions[i], running);
        }
        if (!installed_version) {
            return running;
        }
        return max_of(running, *installed_version);
    } catch (const InvalidVersion&) {
        return std::nullopt;
    }
}

bool VorpanePackage::needs_update() const {
    auto newest = max_version();
    if (!newest) {
        return false;
    }
    if (!installed_version) {
        return true;
    }
    try {
        return compare_versions(*newest, *installed_version) > 0;
    } catch (const InvalidVersion&) {
        return false;
    }
}

} // namespace vorpane::records

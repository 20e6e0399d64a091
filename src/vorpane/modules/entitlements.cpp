#include "vorpane/modules/entitlements.hpp"

#include "vorpane/api/answer.hpp"
#include "vorpane/api/request.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/pyrepr.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/engine/uv.hpp"
#include "vorpane/net/http.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/redact.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace vorpane::modules {

namespace {

void check_package_key(const std::string& package_key) {
    if (!records::is_valid_package_key(package_key)) {
        // Keys are checked where they enter; this keeps anything else from reaching uv's options.
        throw core::VorpaneException("Not a valid package name: \"" +
                                     util::escape_control(package_key) + "\"");
    }
}

void warn_dropped(Warnings& warnings,
                  const std::string& what,
                  const std::string& name,
                  const std::string& why) {
    warnings.push_back("Warning: ignored " + what + " \"" + util::escape_control(name) +
                       "\" from the service: " + why);
}

// Reads a package list element by element into a PackageList; the elements themselves are never
// held, so a list of any size under the answer caps costs little more than its example names.
class PackageListReader final : public nlohmann::json_sax<nlohmann::json> {
  public:
    PackageList list;
    Warnings warnings;

    [[nodiscard]] bool is_list() const noexcept { return m_top == Top::array; }

    bool null() override { return other(); }
    bool boolean(bool /*val*/) override { return other(); }
    bool number_integer(number_integer_t /*val*/) override { return other(); }
    bool number_unsigned(number_unsigned_t /*val*/) override { return other(); }
    bool number_float(number_float_t /*val*/, const string_t& /*s*/) override { return other(); }
    bool string(string_t& val) override {
        if (scalar(true)) {
            m_key = val; // a copy of the parser's buffer, sized to the name
        }
        return true;
    }
    bool binary(binary_t& /*val*/) override { return other(); }
    bool start_object(std::size_t /*elements*/) override { return open(true); }
    bool start_array(std::size_t /*elements*/) override { return open(false); }
    bool key(string_t& val) override {
        // A repeated "key" counts with its last value, as in a parsed tree.
        m_at_key = m_depth == 2 && m_element_is_object && val == "key";
        return true;
    }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t /*position*/,
                     const std::string& /*last_token*/,
                     const nlohmann::detail::exception& /*ex*/) override {
        return false;
    }

  private:
    enum class Top { none, array, other };
    enum class Key { missing, text, other };

    bool other() {
        scalar(false);
        return true;
    }

    // A value starts at the current depth; true when it is the text of an element's "key".
    bool scalar(bool is_string) {
        if (m_depth == 0) {
            m_top = Top::other;
        } else if (m_top == Top::array && m_depth == 1) {
            m_key_state = Key::missing;
            finish_element();
        } else if (m_top == Top::array && m_at_key) {
            m_key_state = is_string ? Key::text : Key::other;
            return is_string;
        }
        return false;
    }

    bool open(bool object) {
        if (m_depth == 0) {
            m_top = object ? Top::other : Top::array;
        } else if (m_top == Top::array && m_depth == 1) {
            m_element_is_object = object;
            m_key_state = Key::missing;
            m_at_key = false;
        } else if (m_top == Top::array && m_at_key) {
            m_key_state = Key::other;
        }
        m_at_key = false;
        ++m_depth;
        return true;
    }

    bool close() {
        --m_depth;
        if (m_top == Top::array && m_depth == 1) {
            finish_element();
            m_element_is_object = false;
        }
        m_at_key = false;
        return true;
    }

    void finish_element() {
        if (m_element_is_object && m_key_state == Key::text &&
            !records::is_valid_package_key(m_key)) {
            warn_dropped(warnings, "the package", m_key, "not a valid package name");
            return;
        }
        if (!m_element_is_object || m_key_state != Key::text) {
            list.malformed_element = list.malformed_element.value_or(m_kept);
        } else if (!list.malformed_element && m_key.ends_with("examples")) {
            list.examples.push_back(std::move(m_key));
            m_key.clear();
        }
        ++m_kept;
    }

    Top m_top = Top::none;
    std::size_t m_depth = 0;
    // Within the element being read (at depth 2 while inside it).
    bool m_element_is_object = false;
    bool m_at_key = false;
    Key m_key_state = Key::missing;
    std::string m_key;
    std::size_t m_kept = 0;
};

std::vector<records::VorpaneEntitlement> fetch_entitlements(Context& ctx, Warnings& warnings) {
    return parse_entitlements(api::get_success("/entitlements", ctx.service()).body, warnings);
}

} // namespace

std::vector<records::VorpaneEntitlement> parse_entitlements(std::string_view body,
                                                            Warnings& warnings) {
    const nlohmann::json doc = api::parse_service_json(body, "The entitlement service");
    if (!doc.is_array()) {
        throw std::runtime_error("The entitlement service sent an answer that is not a list");
    }
    std::vector<records::VorpaneEntitlement> result;
    for (size_t i = 0; i < doc.size(); ++i) {
        const auto& element = doc[i];
        if (element.is_object()) {
            auto packages = element.find("packages");
            if (packages == element.end() || packages->is_null() ||
                (packages->is_array() && packages->empty())) {
                continue;
            }
        }
        auto entitlement = records::VorpaneEntitlement::from_json(
            element, "entitlements[" + std::to_string(i) + "].");
        if (!records::is_valid_entitlement_code(entitlement.code)) {
            warn_dropped(warnings, "the entitlement", entitlement.code,
                         "not a valid entitlement code");
            continue;
        }
        std::erase_if(entitlement.packages, [&](const std::string& key) {
            if (records::is_valid_package_key(key)) {
                return false;
            }
            warn_dropped(warnings, "the package", key, "not a valid package name");
            return true;
        });
        // An entitlement left without packages goes the way of one that came without any.
        if (!entitlement.packages.empty()) {
            result.push_back(std::move(entitlement));
        }
    }
    return result;
}

PackageList parse_package_list(std::string_view body, Warnings& warnings) {
    PackageListReader reader;
    api::parse_service_json(body, "The entitlement service", reader);
    if (!reader.is_list()) {
        throw std::runtime_error("The package list from the service is not a JSON list");
    }
    warnings.insert(warnings.end(), std::make_move_iterator(reader.warnings.begin()),
                    std::make_move_iterator(reader.warnings.end()));
    return std::move(reader.list);
}

WithWarnings<std::vector<records::VorpaneEntitlement>> get_user_entitlements(Context& ctx) {
    WithWarnings<std::vector<records::VorpaneEntitlement>> result;
    nlohmann::json stored = ctx.answer(ENTITLEMENTS_ANSWER, [&] {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& e : fetch_entitlements(ctx, result.warnings)) {
            list.push_back(e.to_json());
        }
        return list;
    });
    for (const auto& element : stored) {
        result.value.push_back(records::VorpaneEntitlement::from_json(element));
    }
    return result;
}

WithWarnings<std::vector<records::VorpaneEntitlement>> get_all_entitled_modules(Context& ctx) {
    auto all = get_user_entitlements(ctx);
    std::erase_if(all.value, [](const auto& e) { return e.code.rfind("ENT_PKG", 0) == 0; });
    return all;
}

std::string module_key(const records::VorpaneEntitlement& module) {
    return module.code.size() > 4 ? module.code.substr(4) : std::string();
}

InstalledQuery::InstalledQuery(Context& ctx) {
    try {
        // The target's lookups are lazy and not thread-safe: they happen here, before the thread.
        engine::Runtime rt{ctx.runner, ctx.target()};
        (void)rt.target.uv();
        (void)rt.target.child_env();
        m_run = std::async(std::launch::async,
                           [rt]() mutable { return engine::list_installed_packages(rt); });
    } catch (...) {
        m_error = std::current_exception();
    }
}

InstalledQuery::~InstalledQuery() {
    if (m_run.valid()) {
        // An answer nobody asked for (the service failed first) is waited for and dropped.
        try {
            (void)m_run.get();
        } catch (...) {
        }
    }
}

const engine::InstalledPackages& InstalledQuery::get() {
    if (m_error) {
        std::rethrow_exception(m_error);
    }
    if (!m_answer) {
        try {
            m_answer = m_run.get();
        } catch (...) {
            m_error = std::current_exception();
            throw;
        }
    }
    return *m_answer;
}

std::vector<ListedModule>
list_installed_state(const std::vector<records::VorpaneEntitlement>& entitled,
                     InstalledQuery& installed) {
    std::vector<ListedModule> listing;
    listing.reserve(entitled.size());
    bool any_package = false;
    for (const auto& module : entitled) {
        for (const auto& key : module.packages) {
            check_package_key(key);
            any_package = true;
        }
    }
    const engine::InstalledPackages none;
    const engine::InstalledPackages& found = any_package ? installed.get() : none;
    for (const auto& module : entitled) {
        ListedModule row{module.name, module_key(module), module.code, {}};
        for (const auto& key : module.packages) {
            records::VorpanePackage package;
            package.key = key;
            package.installed_version = found.version_of(key);
            row.packages.push_back(std::move(package));
        }
        listing.push_back(std::move(row));
    }
    return listing;
}

} // namespace vorpane::modules

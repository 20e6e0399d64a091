#include "vorpane/modules/install_flow.hpp"

#include "vorpane/api/package_index.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/install.hpp"
#include "vorpane/engine/mkl.hpp"
#include "vorpane/modules/entitlements.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

namespace vorpane::modules {

namespace {

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos)) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// First-seen order without repeats: the plan and the install run stay the same from run to run.
std::vector<std::string> unique(const std::vector<std::string>& items) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const auto& item : items) {
        if (seen.insert(item).second) {
            out.push_back(item);
        }
    }
    return out;
}

} // namespace

std::string normalize_name_for_module(const std::string& name) {
    std::string out = name;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::replace(out.begin(), out.end(), '-', '_');
    std::replace(out.begin(), out.end(), ' ', '_');
    if (out.rfind("ENT_", 0) != 0) {
        out = "ENT_" + out;
    }
    return out;
}

std::string module_code_to_name(const std::string& code) {
    std::string text = code;
    replace_all(text, "ENT_", "");
    replace_all(text, "FREE", "");
    std::replace(text.begin(), text.end(), '_', ' ');
    bool previous_letter = false;
    for (char& ch : text) {
        auto c = static_cast<unsigned char>(ch);
        bool letter = std::isalpha(c) != 0;
        if (letter) {
            ch = static_cast<char>(previous_letter ? std::tolower(c) : std::toupper(c));
        }
        previous_letter = letter;
    }
    return text;
}

std::optional<std::string>
str_to_module(const std::string& name,
              const std::vector<records::VorpaneEntitlement>& entitlements) {
    std::string wanted = normalize_name_for_module(name);
    for (const auto& e : entitlements) {
        if (e.code == wanted) {
            return e.code;
        }
    }
    return std::nullopt;
}

std::optional<std::string>
str_to_package(const std::string& name,
               const std::vector<records::VorpaneEntitlement>& entitlements) {
    for (const auto& e : entitlements) {
        if (std::find(e.packages.begin(), e.packages.end(), name) != e.packages.end()) {
            return name;
        }
    }
    return std::nullopt;
}

Resolution install_names_to_modules_and_packages(
    const std::vector<std::string>& names,
    const std::vector<records::VorpaneEntitlement>& entitled_modules) {
    Resolution r;
    for (const auto& name : names) {
        if (auto code = str_to_module(name, entitled_modules)) {
            r.module_codes.push_back(*code);
        } else if (auto package = str_to_package(name, entitled_modules)) {
            r.package_names.push_back(*package);
        } else {
            r.error_names.push_back(name);
        }
    }
    return r;
}

std::vector<std::string>
packages_of_modules(const std::vector<std::string>& module_codes,
                    const std::vector<records::VorpaneEntitlement>& entitled_modules) {
    std::map<std::string, std::vector<std::string>> by_code;
    for (const auto& e : entitled_modules) {
        by_code[e.code] = e.packages;
    }
    std::vector<std::string> packages;
    for (const auto& code : module_codes) {
        auto it = by_code.find(code);
        if (it != by_code.end()) {
            packages.insert(packages.end(), it->second.begin(), it->second.end());
        }
    }
    return packages;
}

std::vector<std::string> read_requirements_names(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot read requirements file " + file.string());
    }
    std::vector<std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        if (util::trim(line).starts_with('#')) {
            continue;
        }
        std::string name(util::trim(std::string_view(line).substr(0, line.find('#'))));
        if (name.starts_with('-')) {
            // Options such as "-r", "-e" or "--index-url" would steer uv; they are not names.
            throw core::VorpaneException("Unsupported line in requirements file " +
                                         util::escape_control(file.string()) + ": '" +
                                         util::escape_control(util::mask_url_password(name)) +
                                         "' (options are not accepted, only package names).");
        }
        if (!name.empty()) {
            names.push_back(name);
        }
    }
    if (in.bad()) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot read requirements file " + file.string());
    }
    return names;
}

std::string list_notation(const std::vector<std::string>& items) {
    std::string text = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "'" : ", '") + util::escape_control(items[i]) + "'";
    }
    return text + "]";
}

std::vector<std::string> prepare_install_names(std::vector<std::string> names) {
    for (auto& name : names) {
        name = std::string(util::trim(name));
    }
    engine::check_package_names(names);
    return names;
}

InstallPlan plan_install(Context& ctx, std::vector<std::string> names, bool all) {
    InstallPlan plan;
    if (auto it = std::find(names.begin(), names.end(), "mkl"); it != names.end()) {
        plan.want_mkl = true;
        names.erase(it);
    }
    auto [entitled_modules, warnings] = get_all_entitled_modules(ctx);
    plan.warnings = std::move(warnings);
    if (all) {
        for (const auto& module : entitled_modules) {
            names.push_back(module.code);
        }
    }
    Resolution r = install_names_to_modules_and_packages(names, entitled_modules);
    for (const auto& code : r.module_codes) {
        plan.module_titles.push_back(module_code_to_name(code));
    }
    plan.other_names = r.package_names;
    plan.other_names.insert(plan.other_names.end(), r.error_names.begin(), r.error_names.end());
    plan.packages = unique(packages_of_modules(r.module_codes, entitled_modules));
    plan.packages.insert(plan.packages.end(), plan.other_names.begin(), plan.other_names.end());
    plan.packages = unique(plan.packages);
    return plan;
}

engine::Runtime runtime(Context& ctx) {
    return {ctx.runner, ctx.target(), ctx.offline()};
}

engine::IndexLocator index_locator(Context& ctx) {
    return [&ctx] {
        if (ctx.offline()) {
            const nlohmann::json address = ctx.stored_answer(api::PACKAGE_INDEX_ANSWER);
            if (address.is_string()) {
                return address.get<std::string>();
            }
            throw OfflineError("offline: the stored package index address is damaged; run the "
                               "command once online");
        }
        return api::get_package_index_address(ctx.service());
    };
}

bool install_packages(Context& ctx, const InstallPlan& plan, bool dry_run) {
    engine::Runtime rt = runtime(ctx);
    return engine::install_modules(rt, plan.packages, dry_run, index_locator(ctx));
}

} // namespace vorpane::modules

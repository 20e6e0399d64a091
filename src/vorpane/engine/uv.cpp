#include "vorpane/engine/uv.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/pyrepr.hpp"
#include "vorpane/engine/python.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/redact.hpp"
#include "vorpane/util/text.hpp"

#include <nlohmann/json.hpp>

#include <cctype>
#include <exception>
#include <filesystem>

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

constexpr const char* k_uv_file = "uv";

std::vector<std::string> command_line(const std::string& uv, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(uv);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string failure_text(int returncode, const std::optional<std::string>& err) {
    std::string text = "uv exited with status " + std::to_string(returncode);
    if (std::string line = err ? std::string(util::last_line(*err)) : ""; !line.empty()) {
        text += ": " + util::escape_control(util::mask_url_password(line));
    }
    return text;
}

constexpr std::size_t k_max_depth = 64;

// Reads the list element by element, keeping only names and versions: a large environment or a
// hostile answer costs no tree.
class PipListReader final : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit PipListReader(InstalledPackages& packages) : m_packages(packages) {}

    bool null() override { return scalar(); }
    bool boolean(bool /*value*/) override { return scalar(); }
    bool number_integer(number_integer_t /*value*/) override { return scalar(); }
    bool number_unsigned(number_unsigned_t /*value*/) override { return scalar(); }
    bool number_float(number_float_t /*value*/, const string_t& /*text*/) override {
        return scalar();
    }
    bool binary(binary_t& /*value*/) override { return scalar(); }
    bool string(string_t& value) override {
        if (m_depth == 2 && m_key == "name") {
            m_name = std::move(value);
        } else if (m_depth == 2 && m_key == "version") {
            m_version = std::move(value);
        }
        return scalar();
    }
    bool key(string_t& value) override {
        if (m_depth == 2) {
            m_key = std::move(value);
        }
        return true;
    }
    bool start_object(std::size_t /*size*/) override {
        if (m_depth == 0) {
            return refuse("not a JSON array");
        }
        if (m_depth == 1) {
            m_name.reset();
            m_version.reset();
        }
        return open();
    }
    bool end_object() override {
        if (--m_depth == 1) {
            if (!m_name || !m_version) {
                return refuse(R"(an entry without a "name" and a "version" string)");
            }
            m_packages.add(*m_name, std::move(*m_version));
        }
        m_key.clear();
        return true;
    }
    bool start_array(std::size_t /*size*/) override {
        if (m_depth == 1) {
            return refuse("an entry that is not a JSON object");
        }
        return open();
    }
    bool end_array() override {
        --m_depth;
        m_key.clear();
        return true;
    }
    bool parse_error(std::size_t position,
                     const std::string& /*token*/,
                     const nlohmann::detail::exception& /*error*/) override {
        if (m_problem.empty()) {
            m_problem = "not valid JSON (at byte " + std::to_string(position) + ")";
        }
        return false;
    }

    [[nodiscard]] const std::string& problem() const noexcept { return m_problem; }

  private:
    bool scalar() {
        if (m_depth == 0) {
            return refuse("not a JSON array");
        }
        if (m_depth == 1) {
            return refuse("an entry that is not a JSON object");
        }
        return counted();
    }
    bool open() {
        if (++m_depth > k_max_depth) {
            return refuse("nested more than 64 levels deep");
        }
        return counted();
    }
    bool counted() {
        if (++m_values > MAX_PIP_LIST_VALUES) {
            return refuse("more than " + std::to_string(MAX_PIP_LIST_VALUES) + " values");
        }
        return true;
    }
    bool refuse(std::string why) {
        m_problem = std::move(why);
        return false;
    }

    InstalledPackages& m_packages;
    std::size_t m_depth = 0;
    std::size_t m_values = 0;
    std::string m_key;
    std::optional<std::string> m_name;
    std::optional<std::string> m_version;
    std::string m_problem;
};

[[noreturn]] void throw_bad_list(const std::string& why) {
    throw core::VorpaneUVException("uv pip list answered something that is not a package list: " +
                                   why);
}

} // namespace

void InstalledPackages::add(std::string_view name, std::string version) {
    m_versions.insert_or_assign(normalized_package_name(name), std::move(version));
}

std::optional<std::string> InstalledPackages::version_of(std::string_view name) const {
    auto it = m_versions.find(normalized_package_name(name));
    if (it == m_versions.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string normalized_package_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    bool in_run = false;
    for (char c : name) {
        if (c == '-' || c == '_' || c == '.') {
            if (!in_run) {
                out += '-';
            }
            in_run = true;
            continue;
        }
        in_run = false;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

InstalledPackages parse_pip_list(std::string_view output) {
    if (output.size() > MAX_PIP_LIST_BYTES) {
        throw_bad_list("more than " + std::to_string(MAX_PIP_LIST_BYTES >> 20U) + " MiB");
    }
    InstalledPackages packages;
    PipListReader reader(packages);
    if (!nlohmann::json::sax_parse(output, &reader)) {
        throw_bad_list(reader.problem().empty() ? "not valid JSON" : reader.problem());
    }
    return packages;
}

InstalledPackages list_installed_packages(Runtime& rt) {
    const std::vector<std::string> args = {"pip", "list", "--format", "json"};
    util::ProcessOptions options;
    options.capture = true;
    const util::ProcessResult result =
        rt.runner.run(command_line(rt.target.uv(), args), rt.target.child_env(), options);
    if (result.returncode != 0) {
        std::string message = "Error running uv with " + python_tuple_repr(args) +
                              ": exit status " + std::to_string(result.returncode);
        if (const std::string line(util::last_line(result.err.value_or(""))); !line.empty()) {
            message += ": " + util::escape_control(util::mask_url_password(line));
        }
        throw core::VorpaneUVException(message);
    }
    return parse_pip_list(result.out.value_or(""));
}

std::string find_uv_in(const std::string& root, const std::string& path_value) {
    fs::path scripts = fs::path(normalized_path_text(root)) / PythonInterpreter::scripts_dir_name();
    if (fs::path candidate = scripts / k_uv_file; util::is_executable_file(candidate)) {
        return candidate.string();
    }
    if (auto found = util::find_executable(k_uv_file, path_value)) {
        return found->string();
    }
    throw UvNotFound("uv not found in " + scripts.string() +
                     " or on PATH: uv must be installed (for example with \"pip install uv\")");
}

UvFailed::UvFailed(int returncode, const std::optional<std::string>& err)
    : std::runtime_error(failure_text(returncode, err)), m_returncode(returncode) {}

CompletedProcess run_uv_in_python(Runtime& rt,
                                  const std::vector<std::string>& args,
                                  bool capture_output,
                                  const std::map<std::string, std::string>& extra_env) {
    CompletedProcess completed;
    completed.args = command_line(rt.target.uv(), args);
    util::ProcessOptions options;
    options.capture = capture_output;
    auto env = rt.target.child_env();
    for (const auto& [name, value] : extra_env) {
        env[name] = value;
    }
    auto result = rt.runner.run(completed.args, env, options);
    if (result.returncode != 0) {
        // Whoever passes an address with credentials here still gets them masked on screen.
        std::vector<std::string> shown;
        shown.reserve(args.size());
        for (const auto& arg : args) {
            shown.push_back(util::mask_url_password(arg));
        }
        try {
            throw UvFailed(result.returncode, result.err);
        } catch (const UvFailed&) {
            std::throw_with_nested(core::VorpaneUVException(
                "Error running uv with " + util::escape_control(python_tuple_repr(shown))));
        }
    }
    completed.returncode = result.returncode;
    completed.out = std::move(result.out);
    completed.err = std::move(result.err);
    return completed;
}

} // namespace vorpane::engine

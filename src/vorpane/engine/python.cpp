#include "vorpane/engine/python.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/runner.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/text.hpp"

#include <charconv>
#include <fstream>
#include <vector>

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

constexpr const char* k_python_file = "python";

} // namespace

std::optional<std::pair<int, int>> parse_python_version(std::string_view text) {
    text = util::trim(text);
    int major = 0;
    int minor = 0;
    const char* end = text.data() + text.size();
    auto [after_major, ec1] = std::from_chars(text.data(), end, major);
    if (ec1 != std::errc() || after_major == end || *after_major != '.') {
        return std::nullopt;
    }
    auto [after_minor, ec2] = std::from_chars(after_major + 1, end, minor);
    if (ec2 != std::errc() || (after_minor != end && *after_minor != '.')) {
        return std::nullopt;
    }
    return std::pair{major, minor};
}

std::optional<std::string> read_pyvenv_value(const fs::path& cfg, std::string_view key) {
    std::ifstream in(cfg);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        if (util::trim(std::string_view(line).substr(0, eq)) == key) {
            return std::string(util::trim(std::string_view(line).substr(eq + 1)));
        }
    }
    return std::nullopt;
}

PythonInterpreter::PythonInterpreter(const config::EnvLookup& env) {
    std::vector<std::string> looked;
    for (const char* variable : {"VIRTUAL_ENV", "CONDA_PREFIX"}) {
        if (auto root = config::non_empty_env(env, variable)) {
            fs::path candidate = fs::path(*root) / scripts_dir_name() / k_python_file;
            if (util::is_executable_file(candidate)) {
                m_executable = candidate;
                return;
            }
            looked.push_back(candidate.string() + " ($" + variable + ")");
        }
    }
    std::string path_value = env("PATH").value_or("");
    for (const char* name : {"python3", "python"}) {
        if (auto found = util::find_executable(name, path_value)) {
            m_executable = *found;
            return;
        }
    }
    looked.emplace_back("python3 and python on PATH");
    std::string text;
    for (const auto& place : looked) {
        text += (text.empty() ? "" : ", ") + place;
    }
    throw PythonInterpreterError("No Python interpreter found: looked for " + text);
}

PythonInterpreter PythonInterpreter::from_executable(fs::path executable) {
    return PythonInterpreter(std::move(executable), nullptr);
}

std::string PythonInterpreter::scripts_dir_name() {
    return "bin";
}

std::pair<int, int> PythonInterpreter::version(ProcessRunner& runner,
                                               const config::Environment& env) const {
    return facts(runner, env).version;
}

fs::path PythonInterpreter::prefix(ProcessRunner& runner, const config::Environment& env) const {
    return facts(runner, env).prefix;
}

const PythonInterpreter::Facts& PythonInterpreter::facts(ProcessRunner& runner,
                                                         const config::Environment& env) const {
    if (m_facts) {
        return *m_facts;
    }
    // Inside an environment its pyvenv.cfg answers both questions, which saves starting an
    // interpreter (tens of milliseconds) on every run of the tool.
    fs::path dir = m_executable.parent_path();
    if (dir.filename() == scripts_dir_name()) {
        fs::path root = dir.parent_path();
        fs::path cfg = root / "pyvenv.cfg";
        std::optional<std::pair<int, int>> version;
        if (auto text = read_pyvenv_value(cfg, "version_info")) {
            version = parse_python_version(*text);
        }
        if (!version) {
            if (auto text = read_pyvenv_value(cfg, "version")) {
                version = parse_python_version(*text);
            }
        }
        if (version) {
            m_facts = Facts{*version, root};
            return *m_facts;
        }
        if (fs::exists(cfg)) {
            m_facts = Facts{query(runner, env).version, root};
            return *m_facts;
        }
    }
    m_facts = query(runner, env);
    return *m_facts;
}

PythonInterpreter::Facts PythonInterpreter::query(ProcessRunner& runner,
                                                  const config::Environment& env) const {
    util::ProcessOptions options;
    options.capture = true;
    auto result =
        runner.run({m_executable.string(), "-I", "-S", "-c",
                    "import sys; print('%d.%d' % sys.version_info[:2]); print(sys.prefix)"},
                   env, options);
    std::string what = "cannot ask " + m_executable.string() + " for its version";
    if (result.returncode != 0) {
        throw PythonInterpreterError(what + ": it exited with status " +
                                     std::to_string(result.returncode));
    }
    std::string_view out = *result.out;
    size_t newline = out.find('\n');
    std::optional<std::pair<int, int>> version;
    std::string_view prefix;
    if (newline != std::string_view::npos) {
        version = parse_python_version(out.substr(0, newline));
        prefix = util::trim(out.substr(newline + 1));
    }
    if (!version || prefix.empty()) {
        throw PythonInterpreterError(what + ": unexpected answer");
    }
    return Facts{*version, fs::path(prefix)};
}

} // namespace vorpane::engine

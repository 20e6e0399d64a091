#include "vorpane/engine/system.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/python.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

namespace vorpane::engine {

namespace fs = std::filesystem;

namespace {

// Shells we recognise, supported or not: walking stops at the first of them, so that a tcsh
// user hears that tcsh is unsupported rather than about some shell further up.
constexpr std::array<std::string_view, 22> k_known_shells = {
    "ash", "bash", "zsh",        "sh",    "dash", "fish",   "csh",   "tcsh",
    "ksh", "mksh", "oksh",       "pdksh", "yash", "nu",     "xonsh", "elvish",
    "ion", "rc",   "powershell", "pwsh",  "cmd",  "busybox"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> k_other_scripts = {{
    {"fish", "activate.fish"},
    {"csh", "activate.csh"},
    {"nu", "activate.nu"},
    {"powershell", "activate.ps1"},
    {"pwsh", "activate.ps1"},
    {"cmd", "activate.bat"},
}};

constexpr std::array<std::string_view, 4> k_allowed_commands = {"python", "jupyter", "ipython",
                                                                "python3"};

std::string shell_name(std::string name) {
    auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name = name.substr(slash + 1);
    }
    if (!name.empty() && name.front() == '-') {
        name.erase(0, 1);
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

std::string read_small_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::string> env_value(const char* name) {
    auto value = config::process_env()(name);
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

int ProcProcessTable::start_pid() const {
    return static_cast<int>(::getppid());
}

std::optional<ProcessEntry> ProcProcessTable::lookup(int pid) const {
    fs::path dir = fs::path("/proc") / std::to_string(pid);
    std::string stat = read_small_file(dir / "stat");
    // The command name sits in parentheses and may itself contain ") ", hence the last one.
    auto open = stat.find('(');
    auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    ProcessEntry entry;
    if (!(rest >> state >> entry.ppid)) {
        return std::nullopt;
    }
    entry.names.push_back(stat.substr(open + 1, close - open - 1));
    std::string cmdline = read_small_file(dir / "cmdline");
    if (!cmdline.empty()) {
        entry.names.emplace_back(cmdline.c_str());
    }
    std::error_code ec;
    fs::path exe = fs::read_symlink(dir / "exe", ec);
    if (!ec) {
        entry.names.push_back(exe.filename().string());
    }
    return entry;
}

std::string detect_shell(const ProcessTable& table) {
    int pid = table.start_pid();
    // A bound on the walk guards against a table with a cycle.
    for (int depth = 0; depth < 64 && pid > 0; ++depth) {
        auto entry = table.lookup(pid);
        if (!entry) {
            break;
        }
        for (const auto& raw : entry->names) {
            std::string name = shell_name(raw);
            if (std::find(k_known_shells.begin(), k_known_shells.end(), name) !=
                k_known_shells.end()) {
                return name;
            }
        }
        if (entry->ppid == pid) {
            break;
        }
        pid = entry->ppid;
    }
    throw ShellDetectionError("no known shell among the parent processes");
}

std::string get_relative_scripts_dir() {
    return PythonInterpreter::scripts_dir_name();
}

std::string get_activate_script() {
    return get_activate_script(ProcProcessTable());
}

std::string get_activate_script(const ProcessTable& table) {
    std::string shell;
    try {
        shell = detect_shell(table);
    } catch (const ShellDetectionError&) {
        std::throw_with_nested(core::VorpaneException("Could not detect shell."));
    }
    for (std::string_view posix : {"ash", "zsh", "sh", "dash", "bash"}) {
        if (shell == posix) {
            return "activate";
        }
    }
    for (const auto& [name, script] : k_other_scripts) {
        if (shell == name) {
            return std::string(script);
        }
    }
    throw core::VorpaneException("Unsupported shell: " + shell);
}

std::string detect_virtualenv() {
    if (auto venv = env_value("VIRTUAL_ENV")) {
        return *venv;
    }
    if (auto conda = env_value("CONDA_PREFIX")) {
        return *conda;
    }
    return PythonInterpreter(config::process_env()).prefix().string();
}

std::string normalized_path_text(const std::string& path) {
    bool absolute = !path.empty() && path.front() == '/';
    std::string out = absolute ? "/" : "";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string_view segment = std::string_view(path).substr(start, end - start);
        if (!segment.empty() && segment != ".") {
            if (!out.empty() && out.back() != '/') {
                out += '/';
            }
            out += segment;
        }
        start = end + 1;
    }
    return out.empty() ? "." : out;
}

std::map<std::string, std::string> _set_venv_environment() {
    return child_environment(detect_virtualenv());
}

std::map<std::string, std::string> child_environment(const std::string& root) {
    auto env = util::current_environment();
    env["VIRTUAL_ENV"] = normalized_path_text(root);
    return env;
}

void _run_cmd(Runtime& rt,
              const std::string& which,
              const std::optional<std::vector<std::string>>& run_args,
              const util::ProcessOptions& options) {
    // Checked before anything else, so that a refused program costs no interpreter query.
    if (std::find(k_allowed_commands.begin(), k_allowed_commands.end(), which) ==
        k_allowed_commands.end()) {
        throw core::VorpaneException("Unsupported command: " + which);
    }
    const std::string& root = rt.target.root();
    const auto& env = rt.target.child_env();
    std::vector<std::string> argv = {
        normalized_path_text(root + "/" + get_relative_scripts_dir() + "/" + which)};
    if (run_args) {
        argv.insert(argv.end(), run_args->begin(), run_args->end());
    }
    auto result = rt.runner.run(argv, env, options);
    if (result.returncode != 0) {
        throw core::VorpaneException(which + " execution failed with error code " +
                                     std::to_string(result.returncode));
    }
}

} // namespace vorpane::engine

#include "vorpane/engine/uv.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/core/errors.hpp"
#include "vorpane/engine/pyrepr.hpp"
#include "vorpane/engine/python.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/util/process.hpp"
#include "vorpane/util/redact.hpp"

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

std::string last_line(const std::string& text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string::npos) {
        return "";
    }
    size_t start = text.find_last_of('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    return text.substr(start, end + 1 - start);
}

std::string failure_text(int returncode, const std::optional<std::string>& err) {
    std::string text = "uv exited with status " + std::to_string(returncode);
    if (std::string line = err ? last_line(*err) : ""; !line.empty()) {
        text += ": " + util::escape_control(util::mask_url_password(line));
    }
    return text;
}

} // namespace

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

#include "vorpane/engine/system.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/engine/python.hpp"

#include <string_view>

namespace vorpane::engine {

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

std::map<std::string, std::string> child_environment(std::map<std::string, std::string> base,
                                                     const std::string& root) {
    base["VIRTUAL_ENV"] = normalized_path_text(root);
    return base;
}

void run_python(Runtime& rt,
                const std::vector<std::string>& args,
                const util::ProcessOptions& options) {
    std::vector<std::string> argv = {normalized_path_text(
        rt.target.root() + "/" + PythonInterpreter::scripts_dir_name() + "/python")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = rt.runner.run(argv, rt.target.child_env(), options);
    if (result.returncode != 0) {
        throw core::VorpaneException("python execution failed with error code " +
                                     std::to_string(result.returncode));
    }
}

} // namespace vorpane::engine

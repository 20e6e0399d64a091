#pragma once

#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/python.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace vorpane::engine {

// The Python environment the tool serves, found once per run: each fact is looked up on first
// use and kept, so no interpreter is asked and no directory searched twice.
class TargetEnvironment {
  public:
    // Looks everything up through `env` (the process environment in the tool).
    explicit TargetEnvironment(config::EnvLookup env = config::process_env());

    // The interpreter: $VIRTUAL_ENV/bin/python, else $CONDA_PREFIX/bin/python, else python3 or
    // python on PATH. Throws PythonInterpreterError.
    const PythonInterpreter& interpreter();
    // Its (major, minor) version. Throws like PythonInterpreter::version.
    std::pair<int, int> python_version() { return interpreter().version(); }
    // The environment root: $VIRTUAL_ENV, else $CONDA_PREFIX, else the interpreter's prefix.
    // Throws like PythonInterpreter::prefix.
    const std::string& root();
    // The environment of every child: the tool's own with VIRTUAL_ENV set to root().
    const std::map<std::string, std::string>& child_env();
    // The uv executable: <root>/bin/uv, else the first uv on PATH. Throws UvNotFound.
    const std::string& uv();

  private:
    config::EnvLookup m_env;
    std::optional<PythonInterpreter> m_interpreter;
    std::optional<std::string> m_root;
    std::optional<std::map<std::string, std::string>> m_child_env;
    std::optional<std::string> m_uv;
};

} // namespace vorpane::engine

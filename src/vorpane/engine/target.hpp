#pragma once

#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/python.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace vorpane::engine {

class ProcessRunner;

// The Python environment the tool serves, found once per run: each fact is looked up on first
// use and kept, so no interpreter is asked and no directory searched twice.
class TargetEnvironment {
  public:
    // Looks everything up in `env` (what the run was started with) and asks the interpreter, when
    // it must, through `runner`.
    TargetEnvironment(ProcessRunner& runner, config::Environment env);
    TargetEnvironment(const TargetEnvironment&) = delete;
    TargetEnvironment& operator=(const TargetEnvironment&) = delete;

    // The interpreter: $VIRTUAL_ENV/bin/python, else $CONDA_PREFIX/bin/python, else python3 or
    // python on PATH. Throws PythonInterpreterError.
    const PythonInterpreter& interpreter();
    // Its (major, minor) version. Throws like PythonInterpreter::version.
    std::pair<int, int> python_version() { return interpreter().version(m_runner, m_env); }
    // The environment root: $VIRTUAL_ENV, else $CONDA_PREFIX, else the interpreter's prefix.
    // Throws like PythonInterpreter::prefix.
    const std::string& root();
    // The environment of every child: the run's own with VIRTUAL_ENV set to root().
    const std::map<std::string, std::string>& child_env();
    // The variable `name` of the run's environment; std::nullopt when unset.
    [[nodiscard]] std::optional<std::string> variable(const std::string& name) const {
        return m_lookup(name);
    }
    // The uv executable: <root>/bin/uv, else the first uv on PATH. Throws UvNotFound.
    const std::string& uv();

  private:
    ProcessRunner& m_runner;
    config::Environment m_env;
    config::EnvLookup m_lookup;
    std::optional<PythonInterpreter> m_interpreter;
    std::optional<std::string> m_root;
    std::optional<std::map<std::string, std::string>> m_child_env;
    std::optional<std::string> m_uv;
};

} // namespace vorpane::engine

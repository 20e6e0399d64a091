#include "vorpane/engine/target.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/engine/uv.hpp"

namespace vorpane::engine {

TargetEnvironment::TargetEnvironment(ProcessRunner& runner, config::Environment env)
    : m_runner(runner), m_env(std::move(env)), m_lookup(config::lookup_in(m_env)) {}

const PythonInterpreter& TargetEnvironment::interpreter() {
    if (!m_interpreter) {
        m_interpreter.emplace(m_lookup);
    }
    return *m_interpreter;
}

const std::string& TargetEnvironment::root() {
    if (!m_root) {
        if (auto venv = config::non_empty_env(m_lookup, "VIRTUAL_ENV")) {
            m_root = *venv;
        } else if (auto conda = config::non_empty_env(m_lookup, "CONDA_PREFIX")) {
            m_root = *conda;
        } else {
            m_root = interpreter().prefix(m_runner, m_env).string();
        }
    }
    return *m_root;
}

const std::map<std::string, std::string>& TargetEnvironment::child_env() {
    if (!m_child_env) {
        m_child_env = child_environment(m_env, root());
    }
    return *m_child_env;
}

const std::string& TargetEnvironment::uv() {
    if (!m_uv) {
        m_uv = find_uv_in(root(), m_lookup("PATH").value_or(""));
    }
    return *m_uv;
}

} // namespace vorpane::engine

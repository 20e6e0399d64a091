#include "vorpane/engine/target.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/engine/system.hpp"
#include "vorpane/engine/uv.hpp"

namespace vorpane::engine {

TargetEnvironment::TargetEnvironment(config::EnvLookup env) : m_env(std::move(env)) {}

const PythonInterpreter& TargetEnvironment::interpreter() {
    if (!m_interpreter) {
        m_interpreter.emplace(m_env);
    }
    return *m_interpreter;
}

const std::string& TargetEnvironment::root() {
    if (!m_root) {
        if (auto venv = config::non_empty_env(m_env, "VIRTUAL_ENV")) {
            m_root = *venv;
        } else if (auto conda = config::non_empty_env(m_env, "CONDA_PREFIX")) {
            m_root = *conda;
        } else {
            m_root = interpreter().prefix().string();
        }
    }
    return *m_root;
}

const std::map<std::string, std::string>& TargetEnvironment::child_env() {
    if (!m_child_env) {
        m_child_env = child_environment(root());
    }
    return *m_child_env;
}

const std::string& TargetEnvironment::uv() {
    if (!m_uv) {
        m_uv = find_uv_in(root(), m_env("PATH").value_or(""));
    }
    return *m_uv;
}

} // namespace vorpane::engine

#pragma once

#include "vorpane/config/dirs.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorpane::engine {

// The Python (major, minor) versions the tool supports, in order.
inline const std::vector<std::pair<int, int>> SUPPORTED_PYTHON_VERSIONS = {
    {3, 10}, {3, 11}, {3, 12}, {3, 13}};

class ProcessRunner;

// No interpreter was found, or the one found could not tell its version and prefix.
class PythonInterpreterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The Python interpreter the tool serves: the one of the target environment.
class PythonInterpreter {
  public:
    // Locates the interpreter from `env`: $VIRTUAL_ENV/bin/python, else $CONDA_PREFIX/bin/python
    // (empty variables count as unset; a candidate must be an executable file), else the first
    // python3, then python, on $PATH. Throws PythonInterpreterError naming every place looked at
    // when none exists. Starts no process.
    explicit PythonInterpreter(const config::EnvLookup& env);

    // The interpreter at `executable`, taken as it is (not checked until asked something).
    static PythonInterpreter from_executable(std::filesystem::path executable);

    // The path the interpreter was found at (symbolic links not resolved).
    [[nodiscard]] const std::filesystem::path& executable() const noexcept { return m_executable; }

    // (major, minor). Read from <root>/pyvenv.cfg (key version_info, else version) when the
    // interpreter sits in <root>/bin and that file names a version; otherwise the interpreter is
    // run once (-I -S -c) through `runner` with the environment `env` and the answer kept.
    // Throws PythonInterpreterError when that run fails or answers nonsense, SpawnError when it
    // cannot start.
    [[nodiscard]] std::pair<int, int> version(ProcessRunner& runner,
                                              const config::Environment& env) const;

    // The environment root (the directory of pyvenv.cfg) or, without one, sys.prefix as the
    // interpreter reports it. Throws like version().
    [[nodiscard]] std::filesystem::path prefix(ProcessRunner& runner,
                                               const config::Environment& env) const;

    // The name of an environment's executables directory: "bin".
    static std::string scripts_dir_name();

  private:
    struct Facts {
        std::pair<int, int> version;
        std::filesystem::path prefix;
    };
    explicit PythonInterpreter(std::filesystem::path executable, std::nullptr_t /*no lookup*/)
        : m_executable(std::move(executable)) {}
    const Facts& facts(ProcessRunner& runner, const config::Environment& env) const;
    [[nodiscard]] Facts query(ProcessRunner& runner, const config::Environment& env) const;

    std::filesystem::path m_executable;
    mutable std::optional<Facts> m_facts;
};

// (major, minor) from a version text such as "3.11.7" or "3.11.7.final.0"; std::nullopt when
// it does not start with two dot-separated numbers.
std::optional<std::pair<int, int>> parse_python_version(std::string_view text);

// The value of `key` in a pyvenv.cfg file ("key = value" lines); std::nullopt when the file or
// the key is missing.
std::optional<std::string> read_pyvenv_value(const std::filesystem::path& cfg,
                                             std::string_view key);

} // namespace vorpane::engine

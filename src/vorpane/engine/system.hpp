#pragma once

#include "vorpane/engine/runner.hpp"
#include "vorpane/util/process.hpp"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorpane::engine {

// What shell detection needs to know about one process.
struct ProcessEntry {
    int ppid = 0;
    // Names the process goes by, most telling first (command name, argv[0], executable name).
    std::vector<std::string> names;
};

// The table of running processes, as far as shell detection walks it.
class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    // The process the walk starts at: the tool's parent.
    [[nodiscard]] virtual int start_pid() const = 0;
    // The entry of `pid`; std::nullopt when it cannot be read.
    [[nodiscard]] virtual std::optional<ProcessEntry> lookup(int pid) const = 0;
};

// The real table, read from /proc/<pid>/stat, /proc/<pid>/cmdline and /proc/<pid>/exe.
class ProcProcessTable : public ProcessTable {
  public:
    [[nodiscard]] int start_pid() const override;
    [[nodiscard]] std::optional<ProcessEntry> lookup(int pid) const override;
};

// No shell among the tool's ancestors.
class ShellDetectionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The lower-case name of the first known shell among the ancestors in `table` ("bash", "zsh",
// "fish", "tcsh", "pwsh", ...), with the "-" of a login shell and a ".exe" suffix removed.
// Throws ShellDetectionError when there is none.
std::string detect_shell(const ProcessTable& table);

// "bin" ("Scripts" on Windows): the executables directory of an environment, relative to its
// root.
std::string get_relative_scripts_dir();

// The activate script that fits the user's shell ("activate", "activate.fish", "activate.csh",
// "activate.nu", "activate.ps1", "activate.bat"). Throws core::VorpaneException "Could not detect
// shell." (with the detection failure nested) or "Unsupported shell: <name>".
std::string get_activate_script();
std::string get_activate_script(const ProcessTable& table);

// The target environment as found: $VIRTUAL_ENV, else $CONDA_PREFIX (empty counts as unset),
// else the prefix of the Python interpreter. Throws PythonInterpreterError (and what
// PythonInterpreter::prefix throws) when it has to ask an interpreter and cannot.
std::string detect_virtualenv();

// `path` in normalised text form: no trailing separator, no doubled separators, no "." segments;
// ".." segments are kept. "" becomes ".".
std::string normalized_path_text(const std::string& path);

// A copy of the whole process environment with VIRTUAL_ENV set to the normalised
// detect_virtualenv(); everything else (CONDA_PREFIX included) unchanged. Throws what
// detect_virtualenv throws.
std::map<std::string, std::string> _set_venv_environment();

// The same for an environment root already detected: saves asking an interpreter twice.
std::map<std::string, std::string> child_environment(const std::string& root);

// Runs <environment>/bin/<which> with `run_args` appended, in the child environment, and waits.
// `which` must be "python", "jupyter", "ipython" or "python3". Throws core::VorpaneException
// "Unsupported command: <which>" (before starting anything) or "<which> execution failed with
// error code <status>" (minus the signal number when a signal ended it); SpawnError when the
// program cannot be started; core::Aborted on Ctrl-C.
void _run_cmd(Runtime& rt,
              const std::string& which,
              const std::optional<std::vector<std::string>>& run_args = std::nullopt,
              const util::ProcessOptions& options = {});

} // namespace vorpane::engine

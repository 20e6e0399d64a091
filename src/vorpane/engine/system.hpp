#pragma once

#include "vorpane/engine/runner.hpp"
#include "vorpane/util/process.hpp"

#include <map>
#include <string>
#include <vector>

namespace vorpane::engine {

// `path` in normalised text form: no trailing separator, no doubled separators, no "." segments;
// ".." segments are kept. "" becomes ".".
std::string normalized_path_text(const std::string& path);

// The environment of a child working on the environment at `root`: `base` (the run's whole
// environment) with VIRTUAL_ENV set to the normalised `root`; everything else (CONDA_PREFIX
// included) unchanged.
std::map<std::string, std::string> child_environment(std::map<std::string, std::string> base,
                                                     const std::string& root);

// Runs the target environment's own python with `args` in the child environment and waits.
// Throws core::VorpaneException "python execution failed with error code <status>" (minus the
// signal number when a signal ended it); SpawnError when it cannot be started; what the runner
// throws on an interruption.
void run_python(Runtime& rt,
                const std::vector<std::string>& args,
                const util::ProcessOptions& options = {});

} // namespace vorpane::engine

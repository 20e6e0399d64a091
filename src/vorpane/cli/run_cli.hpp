#pragma once

#include "vorpane/modules/context.hpp"

namespace vorpane::cli {

// The program entry: version gate, profile notice, then the command group, for a run started
// with `environment`. Returns the exit status (0 success, 1 failure, 2 malformed command line);
// never throws.
int run_cli(int argc, char** argv, config::Environment environment);

// Raises core::VorpaneException "Python version (3, 9) is not supported. ..." unless the target
// environment's interpreter is one of SUPPORTED_PYTHON_VERSIONS.
void check_python_version_supported(modules::Context& ctx);

} // namespace vorpane::cli

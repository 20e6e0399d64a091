#include "vorpane/cli/run_cli.hpp"
#include "vorpane/config/dirs.hpp"

int main(int argc, char** argv) {
    return vorpane::cli::run_cli(argc, argv, vorpane::config::process_environment());
}

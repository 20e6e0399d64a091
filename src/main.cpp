#include "vorpane/cli/run_cli.hpp"

int main(int argc, char** argv) {
    return vorpane::cli::run_cli(argc, argv);
}

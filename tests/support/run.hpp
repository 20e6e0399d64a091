#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vorpane::test {

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool operator==(const RunResult&) const = default;
    // How GoogleTest shows a result that differs from the expected one.
    friend std::ostream& operator<<(std::ostream& os, const RunResult& r) {
        return os << "status " << r.status << "\nout: " << r.out << "\nerr: " << r.err;
    }
};

enum class OutputEnd { captured, closed, full_device, broken_pipe };

struct RunOptions {
    std::map<std::string, std::string> env; // the complete environment of the child
    std::optional<std::string> input;       // written to standard input, then closed
    std::optional<std::filesystem::path> cwd;
    bool pty = false; // standard input, output and error on one pseudo-terminal (err stays empty)
    int timeout_seconds = 120;           // the child is killed after this
    OutputEnd out = OutputEnd::captured; // where standard output goes (without a pty)
};

// Runs `argv` and waits for it, capturing its output.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options);

// Starts `argv` with stdin from /dev/null and output to `stem`.out and `stem`.err; returns its pid.
pid_t start_program(const std::vector<std::string>& argv,
                    const std::map<std::string, std::string>& env,
                    const std::filesystem::path& stem);
// Waits for `pid`: its exit status, or 128 + signal.
int wait_program(pid_t pid);

} // namespace vorpane::test

#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorpane::util {

struct ProcessOptions {
    // Collect standard output and standard error instead of sharing the tool's streams.
    bool capture = false;
    // Send standard output and standard error to /dev/null (ignored when `capture` is set).
    bool discard = false;
    // Working directory of the child; the tool's own when unset.
    std::optional<std::filesystem::path> cwd;
    // With `capture`: bytes written to the child's standard input, which is then closed; the
    // tool's own standard input is shared when unset.
    std::optional<std::string> input;
    // With `capture`: how long the child may run; when the time is up its whole process group
    // is killed.
    std::optional<std::chrono::milliseconds> timeout;
    // With `capture`, at most this many bytes are kept of each stream (the rest is read and
    // dropped); 0 keeps everything.
    std::size_t output_limit = 0;
};

struct ProcessResult {
    // The exit status, or minus the signal number when a signal ended the child.
    int returncode = 0;
    // The bytes the child wrote, only when output was captured.
    std::optional<std::string> out;
    std::optional<std::string> err;
    // The child was killed because `timeout` passed.
    bool timed_out = false;
};

// A child that could not be started: "cannot run <program>: <reason>".
class SpawnError : public std::runtime_error {
  public:
    SpawnError(const std::string& program, int code);
    // The error number posix_spawn reported.
    [[nodiscard]] int code() const noexcept { return m_code; }

  private:
    int m_code;
};

// Runs `argv` (never through a shell) with exactly the environment `env`, waits for it and
// returns its status. A program name without a slash is looked up on the PATH of `env`.
// Standard input is shared with the tool unless `options.input` is set. Throws
// std::invalid_argument for an empty `argv`, SpawnError when the child cannot be started,
// std::system_error when a pipe or a wait fails, and util::Interrupted when SIGINT arrived while
// the child ran (after it has ended).
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env,
                          const ProcessOptions& options = {});

// The first executable regular file called `name` in the directories of `path_value` (a
// PATH-style list); std::nullopt when there is none. Empty entries mean the current directory.
std::optional<std::filesystem::path> find_executable(const std::string& name,
                                                     const std::string& path_value);

// True when `path` names an executable regular file (symbolic links followed).
bool is_executable_file(const std::filesystem::path& path);

} // namespace vorpane::util

#pragma once

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace vorpane::core {

// The tool's own error: one user-readable message, shown as "Error: <message>", status 1.
class VorpaneException : public std::runtime_error {
  public:
    explicit VorpaneException(std::string message)
        : std::runtime_error(message), m_message(std::move(message)) {}
    [[nodiscard]] const std::string& message() const noexcept { return m_message; }

  private:
    std::string m_message;
};

// A failed run of the package manager; presented exactly like VorpaneException.
class VorpaneUVException : public VorpaneException {
  public:
    using VorpaneException::VorpaneException;
};

// A record built from bad input. `errors()` lists every failing field as "path: reason".
class ValidationError : public std::runtime_error {
  public:
    explicit ValidationError(std::vector<std::string> errors);
    [[nodiscard]] const std::vector<std::string>& errors() const noexcept { return m_errors; }

  private:
    std::vector<std::string> m_errors;
};

// End of input or Ctrl-C at a prompt, or Ctrl-C while a child runs: "Aborted!", status 1.
class Aborted : public std::runtime_error {
  public:
    Aborted() : std::runtime_error("Aborted!") {}
};

// Standard output was closed by its reader: end quietly with status 1.
class BrokenPipe : public std::runtime_error {
  public:
    BrokenPipe() : std::runtime_error("broken pipe") {}
};

// Standard output took no more text for another reason (a full disk, /dev/full, a closed
// descriptor): what() is "cannot write to standard output: " and the system's reason. Status 1.
class OutputError : public std::runtime_error {
  public:
    explicit OutputError(int error)
        : std::runtime_error("cannot write to standard output: " +
                             std::generic_category().message(error)) {}
};

} // namespace vorpane::core

#pragma once

#include <stdexcept>
#include <string>
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

} // namespace vorpane::core

#include "vorpane/cli/prompt.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/util/signals.hpp"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>

namespace vorpane::cli {

namespace {

// Reads one line from standard input with read(2) so nothing is buffered past the line: a child
// started after the prompt (uv) must still see the rest of a piped input.
std::string read_line() {
    std::string line;
    char c = 0;
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw core::Aborted();
        }
        if (c == '\n') {
            break;
        }
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

} // namespace

std::string prompt(core::Output& out, std::string_view question) {
    for (;;) {
        out.echo_raw(std::string(question) + ": ");
        std::string answer = read_line();
        if (!answer.empty()) {
            return answer;
        }
    }
}

namespace {

// Echo off on the terminal for its lifetime; the old mode comes back on destruction, and through
// the shutdown path when a signal ends the run meanwhile.
class NoEcho {
  public:
    NoEcho() {
        if (::tcgetattr(STDIN_FILENO, &m_saved) != 0) {
            return;
        }
        struct termios quiet = m_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        m_restore.emplace(STDIN_FILENO, m_saved);
        m_active = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
        if (!m_active) {
            m_restore.reset();
        }
    }
    ~NoEcho() {
        if (m_active) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
        }
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

  private:
    struct termios m_saved {};
    std::optional<util::RestoreTerminalOnSignal> m_restore;
    bool m_active = false;
};

} // namespace

std::string prompt_secret(core::Output& out, std::string_view question) {
    if (::isatty(STDIN_FILENO) != 1) {
        return prompt(out, question);
    }
    for (;;) {
        out.echo_raw(std::string(question) + ": ");
        std::string answer;
        try {
            NoEcho hidden;
            answer = read_line();
        } catch (...) {
            out.echo_raw("\n");
            throw;
        }
        out.echo_raw("\n");
        if (!answer.empty()) {
            return answer;
        }
    }
}

bool confirm(core::Output& out, std::string_view question, bool default_yes) {
    for (;;) {
        out.echo_raw(std::string(question) + (default_yes ? " [Y/n]: " : " [y/N]: "));
        std::string answer = read_line();
        std::transform(answer.begin(), answer.end(), answer.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (answer.empty()) {
            return default_yes;
        }
        if (answer == "y" || answer == "yes") {
            return true;
        }
        if (answer == "n" || answer == "no") {
            return false;
        }
        out.send_error("Error: invalid input");
    }
}

} // namespace vorpane::cli

#include "vorpane/core/output.hpp"

#include "vorpane/core/errors.hpp"
#include "vorpane/util/fd.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorpane::core {

namespace {

std::optional<int> color_code(std::string_view name) {
    if (name == "red") {
        return 31;
    }
    if (name == "green") {
        return 32;
    }
    if (name == "yellow") {
        return 33;
    }
    if (name == "blue") {
        return 34;
    }
    return std::nullopt;
}

bool env_set(const TerminalInfo::Lookup& env, const char* name) {
    const auto value = env(name);
    return value && !value->empty() && *value != "0";
}

// Whether descriptor 1 is closed; if so it is taken by /dev/null (closed in children again).
bool reserve_closed_stdout() {
    if (::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF) {
        return false;
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0 && null != STDOUT_FILENO) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ::fcntl(STDOUT_FILENO, F_SETFD, FD_CLOEXEC);
    return true;
}

} // namespace

std::string style(std::string_view text, std::optional<std::string_view> fg, bool bold) {
    std::string out;
    if (fg) {
        if (auto code = color_code(*fg)) {
            out += "\x1b[" + std::to_string(*code) + "m";
        }
    }
    if (bold) {
        out += "\x1b[1m";
    }
    out += text;
    out += "\x1b[0m";
    return out;
}

std::string strip_ansi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t j = i + 2;
            while (j < text.size() && ((text[j] >= '0' && text[j] <= '9') || text[j] == ';')) {
                ++j;
            }
            if (j < text.size() && text[j] == 'm') {
                i = j;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

TerminalInfo TerminalInfo::detect(const Lookup& env) {
    TerminalInfo info;
    info.out_is_terminal = ::isatty(STDOUT_FILENO) == 1;
    info.err_is_terminal = ::isatty(STDERR_FILENO) == 1;
    const auto no_color = env("NO_COLOR");
    bool off = no_color && !no_color->empty();
    bool forced = env_set(env, "FORCE_COLOR") || env_set(env, "CLICOLOR_FORCE");
    info.out_color = !off && (info.out_is_terminal || forced);
    info.err_color = !off && (info.err_is_terminal || forced);
    const auto term = env("TERM");
    // A dumb terminal cannot move the cursor, which redrawing in place relies on.
    info.err_can_redraw = info.err_is_terminal && term != "dumb";
    winsize size{};
    if (info.err_is_terminal && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        info.err_columns = size.ws_col;
    }
    return info;
}

Output::Output(TerminalInfo terminal, Verbosity verbosity, bool json, Writer writer)
    : m_terminal(terminal), m_verbosity(verbosity), m_json(json), m_writer(std::move(writer)) {
    if (!m_writer) {
        m_writer = [closed = reserve_closed_stdout()](int fd, std::string_view bytes) {
            if (fd == STDOUT_FILENO) {
                if (closed) {
                    return EBADF;
                }
                std::fflush(stdout); // keep order with anything a library printed through stdio
            }
            return util::write_all(fd, bytes);
        };
    }
}

void Output::write_out(std::string_view text) {
    int error =
        m_writer(STDOUT_FILENO, m_terminal.out_color ? std::string(text) : strip_ansi(text));
    if (error == EPIPE) {
        throw BrokenPipe();
    }
    if (error != 0) {
        throw OutputError(error);
    }
}

void Output::finish() const {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int error = errno != 0 ? errno : EIO;
        if (error == EPIPE) {
            throw BrokenPipe();
        }
        throw OutputError(error);
    }
}

void Output::write_err(std::string_view text) {
    (void)m_writer(STDERR_FILENO, m_terminal.err_color ? std::string(text) : strip_ansi(text));
}

void Output::send_message(std::string_view message) {
    std::string line(message);
    line += '\n';
    write_out(line);
}

void Output::echo_raw(std::string_view text) {
    write_out(text);
}

void Output::send_error(std::string_view message) {
    std::string line(message);
    line += '\n';
    write_err(line);
}

void Output::info(std::string_view message) {
    if (!quiet()) {
        notice(message);
    }
}

void Output::notice(std::string_view message) {
    if (m_json) {
        send_error(message);
    } else {
        send_message(message);
    }
}

void Output::detail(std::string_view message) {
    if (verbose()) {
        // The process runner reports from each thread that runs a child.
        const std::lock_guard lock(m_detail_mutex);
        send_error(message);
    }
}

util::ProgressOutput Output::progress_output() const {
    util::ProgressOutput output;
    output.is_terminal = m_terminal.err_can_redraw && !quiet();
    output.columns = m_terminal.err_columns;
    Writer writer = m_writer;
    output.write = [writer](std::string_view text) { (void)writer(STDERR_FILENO, text); };
    return output;
}

} // namespace vorpane::core

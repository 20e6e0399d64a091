#include "vorpane/cli/messages.hpp"

#include "vorpane/cli/exceptions.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorpane {

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

bool no_color_requested() {
    const char* value = std::getenv("NO_COLOR");
    return value != nullptr && *value != '\0';
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EPIPE && fd == STDOUT_FILENO) {
                throw BrokenPipe();
            }
            return; // standard error gone too: nothing sensible left to report to
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
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

bool stdout_wants_color() {
    return ::isatty(STDOUT_FILENO) == 1 && !no_color_requested();
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

void echo_raw(std::string_view text) {
    std::fflush(stdout); // keep ordering with anything a library printed through stdio
    if (stdout_wants_color()) {
        write_all(STDOUT_FILENO, text);
    } else {
        write_all(STDOUT_FILENO, strip_ansi(text));
    }
}

void send_message(std::string_view message) {
    std::string line(message);
    line += '\n';
    echo_raw(line);
}

void send_error(std::string_view message) {
    std::string line = (::isatty(STDERR_FILENO) == 1 && !no_color_requested())
                           ? std::string(message)
                           : strip_ansi(message);
    line += '\n';
    write_all(STDERR_FILENO, line);
}

} // namespace vorpane

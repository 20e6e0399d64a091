// A small program the process tests start.
//
// Called as child_tool, the first argument picks what it does:
//   streams N        writes N patterned bytes to standard output and to standard error, interleaved
//   exit CODE        exits with CODE
//   signal SIG       kills itself with signal SIG
//   args ...         writes each further argument followed by a NUL byte to standard output
//   env NAME         writes the value of NAME, or "<unset>"
//   cwd              writes the working directory
//   interrupt-parent sends SIGINT to its parent, then to itself
//
// Installed under another name (uv, python, pip in a fake environment), it stands in for that
// program: it writes "arg:<argument>" lines and the VIRTUAL_ENV and CONDA_PREFIX it got to standard
// output and one line to standard error, and exits with $CHILD_TOOL_EXIT_<NAME> (0 when unset).
// When $CHILD_TOOL_LOG is set, the lines go to the end of that file instead, and nothing is shown.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int streams(long long total) {
    std::vector<char> out_chunk(8192);
    std::vector<char> err_chunk(8192);
    long long written = 0;
    while (written < total) {
        size_t n = static_cast<size_t>(std::min<long long>(8192, total - written));
        for (size_t i = 0; i < n; ++i) {
            long long pos = written + static_cast<long long>(i);
            out_chunk[i] = static_cast<char>('a' + pos % 26);
            err_chunk[i] = static_cast<char>('0' + pos % 10);
        }
        if (!write_all(STDOUT_FILENO, out_chunk.data(), n) ||
            !write_all(STDERR_FILENO, err_chunk.data(), n)) {
            return 3;
        }
        written += static_cast<long long>(n);
    }
    return 0;
}

std::string value_of(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "<unset>";
}

int stand_in(const std::string& name, int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        text += std::string("arg:") + argv[i] + "\n";
    }
    text += "VIRTUAL_ENV=" + value_of("VIRTUAL_ENV") + "\n";
    text += "CONDA_PREFIX=" + value_of("CONDA_PREFIX") + "\n";
    if (const char* log = std::getenv("CHILD_TOOL_LOG"); log != nullptr && *log != '\0') {
        std::ofstream(log, std::ios::app) << "program:" << name << "\n" << text;
    } else {
        std::cout << text << std::flush;
        std::cerr << name << " stand-in done" << std::endl;
    }
    std::string exit_var = "CHILD_TOOL_EXIT_";
    for (char c : name) {
        exit_var += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const char* code = std::getenv(exit_var.c_str());
    return code != nullptr ? std::atoi(code) : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    std::string name = self.substr(self.rfind('/') == std::string::npos ? 0 : self.rfind('/') + 1);
    if (name != "child_tool") {
        return stand_in(name, argc, argv);
    }
    if (argc < 2) {
        std::cerr << "usage: child_tool MODE ...\n";
        return 64;
    }
    std::string mode = argv[1];
    if (mode == "streams" && argc == 3) {
        return streams(std::atoll(argv[2]));
    }
    if (mode == "exit" && argc == 3) {
        return std::atoi(argv[2]);
    }
    if (mode == "signal" && argc == 3) {
        ::signal(std::atoi(argv[2]), SIG_DFL);
        ::raise(std::atoi(argv[2]));
        return 70;
    }
    if (mode == "args") {
        for (int i = 2; i < argc; ++i) {
            write_all(STDOUT_FILENO, argv[i], std::strlen(argv[i]) + 1);
        }
        return 0;
    }
    if (mode == "env" && argc == 3) {
        std::cout << value_of(argv[2]);
        return 0;
    }
    if (mode == "cwd") {
        std::vector<char> buffer(4096);
        std::cout << (::getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : "?");
        return 0;
    }
    if (mode == "interrupt-parent") {
        ::kill(::getppid(), SIGINT);
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
        return 70;
    }
    std::cerr << "child_tool: unknown mode " << mode << "\n";
    return 64;
}

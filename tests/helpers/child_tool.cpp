// A small program the process tests start. As child_tool, its first argument picks the mode:
// "streams N" (N patterned bytes to each stream, interleaved), "exit CODE", "args ..." (each
// argument NUL-terminated on standard output), "env NAME" (its value or "<unset>"),
// "interrupt-parent" (SIGINT to the parent, then to itself).
//
// Under another name (uv in a fake environment) it stands in for that program: it writes
// "arg:<argument>" lines, the VIRTUAL_ENV and CONDA_PREFIX it got and, with $NETRC set,
// "NETRC=<path>" and "netrc:<content>" to standard output or, with $CHILD_TOOL_LOG set, a
// "program:<name>" line and the same lines to the end of that file; it exits with
// $CHILD_TOOL_EXIT_<NAME> (0 when unset).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool write_all(int fd, const char* data, size_t size) {
    for (ssize_t n = 0; size > 0; data += n, size -= static_cast<size_t>(n)) {
        if ((n = ::write(fd, data, size)) < 0) {
            return false;
        }
    }
    return true;
}

int streams(long long total) {
    std::vector<char> out(8192);
    std::vector<char> err(8192);
    for (long long written = 0; written < total;) {
        size_t n = static_cast<size_t>(std::min<long long>(8192, total - written));
        for (size_t i = 0; i < n; ++i, ++written) {
            out[i] = static_cast<char>('a' + written % 26);
            err[i] = static_cast<char>('0' + written % 10);
        }
        if (!write_all(STDOUT_FILENO, out.data(), n) || !write_all(STDERR_FILENO, err.data(), n)) {
            return 3;
        }
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
    text += "VIRTUAL_ENV=" + value_of("VIRTUAL_ENV") +
            "\nCONDA_PREFIX=" + value_of("CONDA_PREFIX") + "\n";
    if (const char* netrc = std::getenv("NETRC"); netrc != nullptr) {
        std::ifstream in(netrc);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text += std::string("NETRC=") + netrc + "\nnetrc:" + content;
    }
    if (const char* log = std::getenv("CHILD_TOOL_LOG"); log != nullptr && *log != '\0') {
        std::ofstream(log, std::ios::app) << "program:" << name << "\n" << text;
    } else {
        std::cout << text << std::flush;
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
    const std::string name = std::filesystem::path(argv[0]).filename().string();
    if (name != "child_tool") {
        return stand_in(name, argc, argv);
    }
    const std::string mode = argc >= 2 ? argv[1] : "";
    const char* arg = argc >= 3 ? argv[2] : "0";
    if (mode == "streams") {
        return streams(std::atoll(arg));
    }
    if (mode == "exit") {
        return std::atoi(arg);
    }
    if (mode == "interrupt-parent") {
        ::kill(::getppid(), SIGINT);
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
        return 70;
    }
    if (mode == "args") {
        for (int i = 2; i < argc; ++i) {
            write_all(STDOUT_FILENO, argv[i], std::strlen(argv[i]) + 1);
        }
        return 0;
    }
    if (mode == "env") {
        std::cout << value_of(arg);
        return 0;
    }
    std::cerr << "usage: child_tool streams|exit|args|env|interrupt-parent ...\n";
    return 64;
}

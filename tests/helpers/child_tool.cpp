// A small program the process tests start. As child_tool, its first argument picks the mode:
// "streams N" (N patterned bytes to each stream, interleaved), "exit CODE", "args ..." (each
// argument NUL-terminated on standard output), "env NAME" (its value or "<unset>"),
// "interrupt-parent" (SIGINT to the parent, then to itself).
//
// Linked as uv into a fake environment it stands in for uv: with $NETRC set it writes
// "NETRC=<path>" and "netrc:<content>" to standard output or, with $CHILD_TOOL_LOG set, to the
// end of that file; it exits with $CHILD_TOOL_EXIT_UV (0 when unset).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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

int stand_in() {
    std::string text;
    if (const char* netrc = std::getenv("NETRC"); netrc != nullptr) {
        std::ifstream in(netrc);
        text = std::string("NETRC=") + netrc + "\nnetrc:" +
               std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (const char* log = std::getenv("CHILD_TOOL_LOG"); log != nullptr && *log != '\0') {
        std::ofstream(log, std::ios::app) << text;
    } else {
        std::cout << text << std::flush;
    }
    const char* code = std::getenv("CHILD_TOOL_EXIT_UV");
    return code != nullptr ? std::atoi(code) : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (std::filesystem::path(argv[0]).filename() != "child_tool") {
        return stand_in();
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
        const char* value = std::getenv(arg);
        std::cout << (value != nullptr ? value : "<unset>");
        return 0;
    }
    std::cerr << "usage: child_tool streams|exit|args|env|interrupt-parent ...\n";
    return 64;
}

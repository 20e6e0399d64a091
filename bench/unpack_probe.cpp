// Helper of bench/unpack.py: unpacks one .tar.gz archive into a directory with the extractor the
// tool uses, and prints its peak resident memory in KiB (VmHWM).
#include "vorpane/extract/archive.hpp"

#include <exception>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: unpack_probe ARCHIVE TARGET\n";
        return 2;
    }
    try {
        vorpane::extract::extract_tar_gz_safely(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            std::cout << std::stoul(line.substr(6)) << '\n';
        }
    }
    return 0;
}

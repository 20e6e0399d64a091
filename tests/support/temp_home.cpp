#include "support/temp_home.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

extern char** environ;

namespace vorpane::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vorpane-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = buffer.data();
}

TempDir::~TempDir() {
    if (::testing::Test::HasFailure()) {
        std::cerr << "[ kept ] " << m_path << '\n';
        return;
    }
    std::error_code ec;
    // Extraction tests leave read-only directories behind; make them removable first.
    for (auto it = fs::recursive_directory_iterator(m_path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(m_path, ec);
}

ScopedHome::ScopedHome() : m_home(m_dir.path() / "home") {
    fs::create_directories(m_home);
    std::vector<std::string> names = {"VIRTUAL_ENV", "CONDA_PREFIX", "NO_COLOR"};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string name = std::string(*e).substr(0, std::string(*e).find('='));
        if (name.starts_with("XDG_") || name.starts_with("VORPANE_")) {
            names.push_back(name);
        }
    }
    for (const auto& name : names) {
        m_saved.emplace_back(name, std::nullopt);
    }
    m_saved.emplace_back("HOME", m_home.string());
}

ScopedHome::~ScopedHome() = default;

fs::path ScopedHome::config_dir() const {
    return m_home / ".config" / "Vorpane";
}

void write_file(const fs::path& path, const std::string& content) {
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::map<std::string, std::string> read_tree(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        tree[name] = entry.is_symlink()     ? "<link> " + fs::read_symlink(entry.path()).string()
                     : entry.is_directory() ? "<dir>"
                                            : read_file(entry.path());
    }
    return tree;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

fs::perms perms_of(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::mask;
}

} // namespace vorpane::test

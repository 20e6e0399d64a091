#pragma once

#include <filesystem>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "support/scoped_env.hpp"

namespace vorpane::test {

// A fresh directory under the system temp dir, removed afterwards unless the current test
// failed (then its path is printed so the evidence can be inspected).
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// Points HOME at a throw-away directory and clears XDG_*, VIRTUAL_ENV, CONDA_PREFIX, NO_COLOR
// and every VORPANE_* variable for the lifetime of the object; restores them afterwards.
class ScopedHome {
  public:
    ScopedHome();
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;
    [[nodiscard]] const std::filesystem::path& home() const { return m_home; }
    [[nodiscard]] const std::filesystem::path& root() const { return m_dir.path(); }
    // ~/.config/Vorpane under the throw-away HOME.
    [[nodiscard]] std::filesystem::path config_dir() const;

  private:
    TempDir m_dir;
    std::filesystem::path m_home;
    std::list<ScopedEnv> m_saved;
};

// Writes `content` to `path`, creating parent directories.
void write_file(const std::filesystem::path& path, const std::string& content);
// The whole content of `path`; empty when it does not exist.
std::string read_file(const std::filesystem::path& path);
// Everything under `dir`: relative path to content for files, to "<dir>" for directories and
// "<link> target" for links, so that two snapshots compare equal when nothing changed.
std::map<std::string, std::string> read_tree(const std::filesystem::path& dir);
// The names of the entries directly in `dir`.
std::set<std::string> names_in(const std::filesystem::path& dir);
// The permission bits of `path`, set-id and sticky bits included (following links).
std::filesystem::perms perms_of(const std::filesystem::path& path);
// The message of the `E` that `run` throws; "<nothing thrown>" when it returns.
template <class E = std::exception, class F> std::string what_of(F&& run) {
    try {
        run();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

} // namespace vorpane::test

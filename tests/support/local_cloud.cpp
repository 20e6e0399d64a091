#include "support/local_cloud.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/util/process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/run.hpp"

namespace vorpane::test {

namespace fs = std::filesystem;
using nlohmann::json;

LocalCloud::LocalCloud() {
    const fs::path source = VORPANE_SOURCE_DIR;
    RunOptions options;
    options.env = config::process_environment();
    const RunResult certs = run_program(
        {"/bin/bash", (source / "sandbox/certs.sh").string(), (m_dir.path() / "certs").string()},
        options);
    if (certs.status != 0) {
        throw std::runtime_error("certs.sh failed: " + certs.out + certs.err);
    }
    fs::create_directories(state());
    const fs::path output = m_dir.path() / "server";
    m_pid = start_program({VORPANE_PY311, (source / "sandbox/fake_cloud.py").string(), "--port",
                           "0", "--state", state().string(), "--cert",
                           (m_dir.path() / "certs/server.pem").string(), "--key",
                           (m_dir.path() / "certs/server.key").string()},
                          config::process_environment(), output);
    while (!fs::exists(state() / "port")) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = 0;
            throw std::runtime_error("the fake cloud ended: " +
                                     read_file(output.string() + ".err"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_port = std::stoi(read_file(state() / "port"));
}

LocalCloud::~LocalCloud() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::string LocalCloud::base() const {
    return "https://localhost:" + std::to_string(m_port);
}

void LocalCloud::set_account(const json& account) const {
    write_file(state() / "account.tmp", account.dump());
    fs::rename(state() / "account.tmp", state() / "account.json");
}

void LocalCloud::clear_log() const {
    write_file(state() / "requests.log", "");
}

std::vector<json> LocalCloud::requests(std::size_t expected) const {
    for (;;) {
        std::vector<json> records;
        const std::string text = read_file(state() / "requests.log");
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            records.push_back(json::parse(line));
        }
        if (records.size() >= expected && (text.empty() || text.back() == '\n')) {
            return records;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace vorpane::test

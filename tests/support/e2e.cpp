#include "support/e2e.hpp"

#include <chrono>
#include <fstream>
#include <string_view>
#include <thread>

namespace vorpane::test {

namespace fs = std::filesystem;

namespace {

std::string service_port() {
    std::string_view domain = VORPANE_SERVICE_DOMAIN;
    auto colon = domain.rfind(':');
    return colon == std::string_view::npos ? "443" : std::string(domain.substr(colon + 1));
}

nlohmann::json read_json(const fs::path& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

bool sandbox_running(const fs::path& dir) {
    if (!fs::exists(dir / "env.json")) {
        return false;
    }
    auto env = current_env();
    RunOptions options;
    options.env = env;
    options.timeout_seconds = 20;
    auto result = run_program({"/usr/bin/curl", "-s", "-o", "/dev/null", "--cacert",
                               (dir / "certs" / "ca.pem").string(),
                               "https://token.cloud.localhost:" + service_port() + "/"},
                              options);
    return result.status == 0;
}

} // namespace

Sandbox& Sandbox::instance() {
    static Sandbox sandbox;
    return sandbox;
}

Sandbox::Sandbox() : m_dir(fs::path(VORPANE_TEST_HELPERS_DIR) / "sandbox") {
    if (!sandbox_running(m_dir)) {
        RunOptions options;
        options.env = current_env();
        options.timeout_seconds = 300;
        auto result =
            run_program({VORPANE_PY311, std::string(VORPANE_SOURCE_DIR) + "/sandbox/sandbox.py",
                         "up", "--dir", m_dir.string(), "--port", service_port()},
                        options);
        if (result.status != 0) {
            throw std::runtime_error("cannot start the sandbox: " + result.out + result.err);
        }
    }
    m_env = read_json(m_dir / "env.json");
}

fs::path Sandbox::ca_file() const {
    return m_env.at("SSL_CERT_FILE").get<std::string>();
}
fs::path Sandbox::bin_dir() const {
    return m_env.at("bin_dir").get<std::string>();
}
std::string Sandbox::index_url() const {
    return m_env.at("index_url").get<std::string>();
}

nlohmann::json Sandbox::demo_account() const {
    auto account = read_json(fs::path(VORPANE_SOURCE_DIR) / "sandbox" / "demo_account.json");
    account["pip_location"] = m_env.value("pip_location", index_url());
    account["examples_dir"] = (m_dir / "examples").string();
    return account;
}

void Sandbox::write_account(const nlohmann::json& account) const {
    fs::path target = m_dir / "account.json";
    fs::path tmp = m_dir / "account.json.tmp";
    {
        std::ofstream out(tmp);
        out << account.dump(2);
    }
    fs::rename(tmp, target);
}

std::vector<nlohmann::json> Sandbox::requests() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(m_dir / "requests.log");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            out.push_back(nlohmann::json::parse(line));
        }
    }
    return out;
}

void Sandbox::clear_log() const {
    std::ofstream out(m_dir / "requests.log", std::ios::trunc);
}

void E2ETest::SetUp() {
    sandbox().write_account(sandbox().demo_account());
    sandbox().clear_log();
    m_venv = make_venv(VORPANE_PY311, "venv");
    m_env.clear();
    m_env["HOME"] = m_home.home().string();
    m_env["PATH"] = sandbox().bin_dir().string() + ":/usr/local/bin:/usr/bin:/bin";
    m_env["SSL_CERT_FILE"] = sandbox().ca_file().string();
    m_env["VIRTUAL_ENV"] = m_venv.string();
    m_env["LANG"] = "C.UTF-8";
    m_env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1";
    m_env["PIP_NO_CACHE_DIR"] = "1";
}

RunResult E2ETest::vorpane(const std::vector<std::string>& args,
                           const std::optional<std::string>& input,
                           bool pty) {
    std::vector<std::string> argv = {VORPANE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.env = m_env;
    options.input = input;
    options.pty = pty;
    options.cwd = m_home.root();
    return run_program(argv, options);
}

void E2ETest::init_demo_profile() {
    auto account = sandbox().demo_account();
    auto result = vorpane({"init", "--token-id", account.at("token_id").get<std::string>(),
                           "--token", account.at("token").get<std::string>()});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
}

fs::path E2ETest::make_venv(const std::string& python, const std::string& name) {
    fs::path dir = m_home.root() / name;
    RunOptions options;
    options.env = current_env();
    auto result = run_program({python, "-m", "venv", "--without-pip", dir.string()}, options);
    if (result.status != 0) {
        throw std::runtime_error("cannot create a venv with " + python + ": " + result.err);
    }
    return dir;
}

size_t count_route(const std::vector<nlohmann::json>& requests, const std::string& route) {
    size_t n = 0;
    for (const auto& r : requests) {
        if (r.value("route", "") == route) {
            ++n;
        }
    }
    return n;
}

} // namespace vorpane::test

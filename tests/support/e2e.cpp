#include "support/e2e.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/util/process.hpp"

#include <algorithm>
#include <fstream>

namespace vorpane::test {

namespace fs = std::filesystem;

namespace {

nlohmann::json read_json(const fs::path& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

} // namespace

Sandbox& Sandbox::instance() {
    static Sandbox sandbox;
    return sandbox;
}

Sandbox::Sandbox() : m_dir(fs::path(VORPANE_TEST_HELPERS_DIR) / "sandbox") {
    if (!fs::exists(m_dir / "env.json")) {
        throw std::runtime_error("no sandbox in " + m_dir.string() + ": run the tests with ctest");
    }
    m_env = read_json(m_dir / "env.json");
}

nlohmann::json Sandbox::demo_account() const {
    auto account = read_json(fs::path(VORPANE_SOURCE_DIR) / "sandbox" / "demo_account.json");
    account["pip_location"] = m_env.value("pip_location", index_url());
    account["examples_dir"] = (m_dir / "examples").string();
    return account;
}

void Sandbox::write_account(const nlohmann::json& account) const {
    write_file(m_dir / "account.json.tmp", account.dump(2));
    fs::rename(m_dir / "account.json.tmp", m_dir / "account.json");
}

std::vector<nlohmann::json> read_jsonl(const fs::path& path) {
    std::vector<nlohmann::json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.push_back(nlohmann::json::parse(line));
        }
    }
    return out;
}

std::vector<nlohmann::json> Sandbox::requests() const {
    return read_jsonl(m_dir / "requests.log");
}

void Sandbox::clear_log() const {
    std::ofstream out(m_dir / "requests.log", std::ios::trunc);
    std::ofstream connections(m_dir / "connections.log", std::ios::trunc);
}

size_t Sandbox::connections() const {
    std::ifstream in(m_dir / "connections.log");
    return static_cast<size_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
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
                           bool pty,
                           int timeout_seconds) {
    std::vector<std::string> argv = {VORPANE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {.env = m_env,
                              .input = input,
                              .cwd = m_home.root(),
                              .pty = pty,
                              .timeout_seconds = timeout_seconds});
}

void E2ETest::init_demo_profile() {
    auto account = sandbox().demo_account();
    auto result = vorpane({"init", "--token-id", account.at("token_id").get<std::string>(),
                           "--token", account.at("token").get<std::string>()});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
}

fs::path E2ETest::make_venv(const std::string& python, const std::string& name) {
    const fs::path dir = m_home.root() / name;
    RunOptions options;
    options.env = config::process_environment();
    auto result = run_program({python, "-m", "venv", "--without-pip", dir.string()}, options);
    if (result.status != 0) {
        throw std::runtime_error("cannot create a venv with " + python + ": " + result.err);
    }
    return dir;
}

nlohmann::json
entitlement(const std::string& name, const std::string& code, const nlohmann::json& packages) {
    return {{"name", name},
            {"code", code},
            {"packages", packages},
            {"required_entitlements", nlohmann::json::array()}};
}

size_t count_route(const std::vector<nlohmann::json>& requests, const std::string& route) {
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), [&](const auto& r) {
        return r.value("route", "") == route;
    }));
}

} // namespace vorpane::test

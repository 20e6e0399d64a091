// Machine-readable output, status, logout, credentials from the environment, the hidden secret,
// quiet and verbose.

#include "vorpane/util/crypto.hpp"

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

class ModesTest : public E2ETest {
  protected:
    // The token ids the logged token exchanges sent, in order.
    std::vector<std::string> exchanged_ids() {
        std::vector<std::string> ids;
        for (const auto& request : sandbox().requests()) {
            if (request["route"] == "token") {
                const std::string basic = request["headers"]["Authorization"];
                ids.push_back(basic);
            }
        }
        return ids;
    }
    static std::string basic(const std::string& id, const std::string& secret) {
        return "Basic " + util::base64_encode(id + ":" + secret);
    }
};

TEST_F(ModesTest, JsonListingsMatchTheCloudAndTheEnvironmentWhateverTheNames) {
    auto account = sandbox().demo_account();
    const std::string hostile = "Quote \" back \\ bell \x07 esc \x1b[2J";
    account["entitlements"][1]["name"] = hostile;
    sandbox().write_account(account);
    init_demo_profile();
    ASSERT_EQ(vorpane({"install", "zel-foo-utils", "-y", "-q"}).status, 0);

    auto r = vorpane({"modules", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out); // nothing but the document on stdout
    EXPECT_EQ(doc["schema"], 1);
    std::vector<nlohmann::json> expected;
    for (const auto& e : account["entitlements"]) {
        if (e["code"].get<std::string>().rfind("ENT_PKG", 0) != 0) {
            expected.push_back(e);
        }
    }
    ASSERT_EQ(doc["modules"].size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& module = doc["modules"][i];
        EXPECT_EQ(module["name"], expected[i]["name"]);
        EXPECT_EQ(module["code"], expected[i]["code"]);
        EXPECT_EQ("ENT_" + module["key"].get<std::string>(), expected[i]["code"]);
        ASSERT_EQ(module["packages"].size(), expected[i]["packages"].size());
        for (size_t k = 0; k < module["packages"].size(); ++k) {
            const auto& package = module["packages"][k];
            EXPECT_EQ(package["key"], expected[i]["packages"][k]);
            const bool installed = package["key"] == "zel-foo-utils";
            EXPECT_EQ(package["state"], installed ? "installed" : "missing");
            EXPECT_EQ(package["installed_version"].is_string(), installed);
        }
    }
    EXPECT_EQ(doc["modules"][1]["name"], hostile);

    r = vorpane({"download-examples", "--list-available", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out),
              (nlohmann::json{{"schema", 1},
                              {"examples", {"zel-foo-app-examples", "zel-bar-solver-examples"}}}));

    // Without a profile the notice goes to standard error and the error leaves stdout empty.
    ASSERT_EQ(vorpane({"logout", "-q"}).status, 0);
    r = vorpane({"modules", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("No user profile found in the config."), std::string::npos);
}

TEST_F(ModesTest, StatusChecksTheCredentialsFreshAndLogoutIsIdempotent) {
    init_demo_profile();
    auto r = vorpane({"status", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["credentials"], "valid");
    EXPECT_EQ(doc["credentials_source"], "file");
    EXPECT_EQ(doc["profile"]["token_id"], "demo-id");
    EXPECT_EQ(doc["environment"]["prefix"], m_venv.string());
    EXPECT_TRUE(doc["uv"]["version"].is_string());
    sandbox().clear_log();
    ASSERT_EQ(vorpane({"status"}).status, 0);
    EXPECT_EQ(count_route(sandbox().requests(), "token"), 1U) << "a cached token proves nothing";

    const struct {
        nlohmann::json fault;
        std::string verdict;
    } cases[] = {{{{"status", 401}}, "rejected (HTTP 401)"},
                 {{{"drop", true}}, "service unreachable: "}};
    for (const auto& c : cases) {
        auto account = sandbox().demo_account();
        account["faults"] = {{"token", c.fault}};
        sandbox().write_account(account);
        m_env["VORPANE_HTTP_RETRIES"] = "0";
        r = vorpane({"status"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("Credentials:         " + c.verdict), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "Error: not ready: the credentials are " +
                             std::string(c.verdict[0] == 'r' ? "rejected" : "unreachable") + "\n");
        EXPECT_EQ((r.out + r.err).find("demo-secret"), std::string::npos);
    }

    r = vorpane({"logout"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Removed the stored profile"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(m_home.config_dir() / "cache.sqlite3"));
    r = vorpane({"logout"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Nothing to remove"), std::string::npos) << r.out;
}

TEST_F(ModesTest, EnvironmentCredentialsNeverMixWithTheStoredProfile) {
    ASSERT_EQ(vorpane({"init", "--token-id", "demo-id", "--token", "stale-secret"}).status, 0);
    const std::string stored = read_file(m_home.config_dir() / "vorpane.toml");
    sandbox().clear_log();
    m_env["VORPANE_TOKEN_ID"] = "demo-id";
    m_env["VORPANE_TOKEN"] = "demo-secret";
    auto r = vorpane({"modules"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("No user profile"), std::string::npos);
    EXPECT_EQ(read_file(m_home.config_dir() / "vorpane.toml"), stored);
    // Back to the stored (rejected) profile: the token the environment's run got is not used.
    m_env.erase("VORPANE_TOKEN");
    r = vorpane({"modules"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: VORPANE_TOKEN is not set: set both VORPANE_TOKEN_ID and "
                     "VORPANE_TOKEN, or neither\n");
    m_env.erase("VORPANE_TOKEN_ID");
    r = vorpane({"modules"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(exchanged_ids(), (std::vector<std::string>{basic("demo-id", "demo-secret"),
                                                         basic("demo-id", "stale-secret")}));
}

TEST_F(ModesTest, TheSecretIsNeverShown) {
    const std::string drive = std::string(VORPANE_SOURCE_DIR) + "/sandbox/pty_drive.py";
    RunOptions options;
    options.env = m_env;
    auto r = run_program({VORPANE_PY311, drive, "token id: ", "my-id\\n",
                          "token secret: ", "SeCrEt-42\\n", "--", VORPANE_BINARY, "init"},
                         options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Enter your token id: my-id"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("SeCrEt-42"), std::string::npos) << r.out;
    EXPECT_NE(read_file(m_home.config_dir() / "vorpane.toml").find("SeCrEt-42"), std::string::npos);
}

TEST_F(ModesTest, QuietKeepsTheDataAndVerboseNamesEachRequestWithoutSecrets) {
    init_demo_profile();
    auto r = vorpane({"-q", "modules"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("______", 0), 0U) << "no legend: " << r.out;
    EXPECT_EQ(vorpane({"modules", "--quiet"}).out, r.out);

    r = vorpane({"install", "zel-baz", "-y", "-v"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("GET https://core.cloud."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" -> 303, "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("run "), std::string::npos) << r.err;
    for (const std::string& secret : {std::string("demo-secret"), std::string("test-access-token"),
                                      sandbox().env().value("index_password", "unset")}) {
        EXPECT_EQ((r.out + r.err).find(secret), std::string::npos) << secret;
    }
    EXPECT_EQ(vorpane({"-q", "-v", "modules"}).status, 2);
}

} // namespace
} // namespace vorpane::test

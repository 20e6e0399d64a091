// Secrets kept by credential helpers (scripted ones and the desktop keyring) and named profiles.

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <fstream>

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;

// A helper of the shared protocol keeping its one entry in $FAKE_STORE and logging its
// arguments to $FAKE_LOG; $FAKE_MODE makes it misbehave.
constexpr const char* FAKE_HELPER = R"(#!/bin/sh
echo "$*" >> "$FAKE_LOG"
case "$FAKE_MODE" in
hang) sleep 60 & wait; exit 0 ;;
garbage) echo "<html>leaked-$1</html>"; exit 0 ;;
fail) echo "keyring is locked" >&2; exit 3 ;;
echo) cat; exit 4 ;;
esac
case "$1" in
store) cat > "$FAKE_STORE" ;;
get) read url; [ -s "$FAKE_STORE" ] && exec cat "$FAKE_STORE"
     echo "credentials not found in native keychain"; exit 1 ;;
erase) rm -f "$FAKE_STORE" ;;
esac
)";

class AccountsTest : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        const fs::path bin = m_home.root() / "helpers";
        fs::create_directories(bin);
        std::ofstream(bin / "docker-credential-fake") << FAKE_HELPER;
        fs::permissions(bin / "docker-credential-fake", fs::perms::owner_all);
        m_env["PATH"] = bin.string() + ":" + m_env["PATH"];
        m_env["FAKE_LOG"] = (m_home.root() / "helper.log").string();
        m_env["FAKE_STORE"] = (m_home.root() / "entry.json").string();
    }
    std::string helper_log() { return read_file(m_env["FAKE_LOG"]); }
    // Every file under the configuration directory, concatenated.
    std::string config_files() {
        std::string all;
        for (const auto& entry : fs::recursive_directory_iterator(m_home.config_dir())) {
            all += read_file(entry.path());
        }
        return all;
    }
    RunResult init_store(const std::string& store, const Args& more = {}) {
        Args args = {"init", "--token-id", "demo-id", "--token", "demo-secret"};
        args.insert(args.end(), more.begin(), more.end());
        m_env["VORPANE_CREDENTIAL_STORE"] = store;
        auto r = vorpane(args);
        m_env.erase("VORPANE_CREDENTIAL_STORE");
        return r;
    }
};

TEST_F(AccountsTest, ScriptedHelperKeepsTheSecretOutOfFilesArgumentsAndEnvironment) {
    init_demo_profile(); // a plain-text secret from before
    auto r = init_store("fake");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("kept by docker-credential-fake"), std::string::npos);
    EXPECT_EQ(config_files().find("demo-secret"), std::string::npos);
    EXPECT_NE(config_files().find("credential_store = \"fake\""), std::string::npos);
    EXPECT_EQ(helper_log(), "store\nget\n");
    ASSERT_EQ(vorpane({"modules", "-q"}).status, 0);
    ASSERT_EQ(vorpane({"modules", "-q"}).status, 0); // an answer from the cache needs no secret
    EXPECT_EQ(helper_log(), "store\nget\nget\n");
    r = vorpane({"status", "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["credentials_store"], "fake") << r.err;
    m_env["VORPANE_TOKEN_ID"] = "demo-id";
    m_env["VORPANE_TOKEN"] = "demo-secret";
    r = vorpane({"status", "--json"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["credentials_store"], "environment");
    EXPECT_EQ(helper_log(), "store\nget\nget\nget\n"); // no helper for the environment's
    m_env.erase("VORPANE_TOKEN_ID");
    m_env.erase("VORPANE_TOKEN");
    m_env["FAKE_MODE"] = "fail";
    r = vorpane({"logout"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("docker-credential-fake failed while removing the secret (exit status 3)"
                         ": keyring is locked"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(config_file()));
}

TEST_F(AccountsTest, HelperFailuresAreOneLineAndNeverFallBack) {
    struct Case {
        std::string store, mode, expected;
    };
    const std::vector<Case> cases = {
        {"absent", "",
         "docker-credential-absent was not found on PATH (Debian ships the helpers "
         "in the golang-docker-credential-helpers package)"},
        {"fake", "hang", "docker-credential-fake did not answer within 1 s"},
        {"fake", "garbage", "answered something that is not a credential entry"},
        {"fake", "fail", "failed while reading the secret (exit status 3): keyring is locked"},
        {"fake", "empty",
         "holds no secret for token id demo-id; run 'vorpane init "
         "--credential-store fake'"},
    };
    m_env["VORPANE_CREDENTIAL_TIMEOUT"] = "1";
    for (const auto& c : cases) {
        fs::create_directories(m_home.config_dir());
        std::ofstream(config_file()) << "[profile]\ntoken_id = \"demo-id\"\ntoken = \"plain\"\n"
                                     << "credential_store = \"" << c.store << "\"\n";
        m_env["FAKE_MODE"] = c.mode;
        sandbox().clear_log();
        for (const Args& args : {Args{"modules"}, Args{"install", "zel-foo-utils", "-y"}}) {
            auto r = vorpane(args);
            EXPECT_EQ(r.status, 1) << c.mode;
            EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
            EXPECT_EQ(lines_in(r.err), 1) << r.err;
            EXPECT_EQ(r.err.find("leaked"), std::string::npos);
        }
        EXPECT_EQ(count_route(sandbox().requests(), "token"), 0U) << c.mode;
    }
    EXPECT_EQ(init_store("bad/name").status, 1);
    m_env["FAKE_MODE"] = "echo"; // a failing helper that repeats its input, the secret with it
    EXPECT_THAT(init_store("fake").err,
                ::testing::HasSubstr(
                    "(exit status 4): (its message repeated the secret and is not shown)"));
}

TEST_F(AccountsTest, DesktopKeyringHoldsTheSecret) {
    if (system("command -v docker-credential-secretservice gnome-keyring-daemon dbus-run-session "
               "secret-tool >/dev/null") != 0) {
        GTEST_SKIP() << "scripts/setup installs the keyring packages";
    }
    const std::string script = R"(set -e
"$VORPANE" init --token-id demo-id --token demo-secret --credential-store secretservice
"$VORPANE" modules --json > modules.json
"$VORPANE" status --json > status.json || true
secret-tool lookup server "$URL" > keyring.txt
cat "$CONFIG"/* > files.txt
"$VORPANE" logout
docker-credential-secretservice list > after.json)";
    RunOptions options;
    options.env = m_env;
    options.env["VORPANE"] = VORPANE_BINARY;
    options.env["URL"] = "https://" + sandbox().env()["cloud_hosts"]["token"].get<std::string>() +
                         "/oauth/token#demo-id";
    options.env["CONFIG"] = m_home.config_dir().string();
    options.cwd = m_home.root();
    auto r = run_program({VORPANE_SOURCE_DIR "/sandbox/keyring_session.sh", "sh", "-c", script},
                         options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    auto read = [&](const char* name) { return read_file(m_home.root() / name); };
    EXPECT_EQ(read("keyring.txt"), "demo-secret");
    EXPECT_EQ(nlohmann::json::parse(read("status.json"))["credentials"], "valid");
    EXPECT_NE(read("modules.json").find("zel"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(read("after.json")), nlohmann::json::object());
    EXPECT_NE(read("files.txt").find("secretservice"), std::string::npos);
    EXPECT_EQ(read("files.txt").find("demo-secret"), std::string::npos);
}

TEST_F(AccountsTest, ProfilesKeepTheirOwnCredentialsAndCaches) {
    auto account = sandbox().demo_account();
    account["accounts"] = {{{"token_id", "work-id"},
                            {"token", "work-secret"},
                            {"access_token", "work-access"},
                            {"entitlements", nlohmann::json::array()}}};
    sandbox().write_account(account);
    init_demo_profile();
    auto r =
        vorpane({"--profile", "work", "init", "--token-id", "work-id", "--token", "work-secret"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("This is profile work"), std::string::npos);
    const auto count = [](const RunResult& run) {
        return nlohmann::json::parse(run.out)["modules"].size();
    };
    m_env["VORPANE_PROFILE"] = "no-such"; // the option wins over the variable
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(count(vorpane({"modules", "--json", "--profile", "work"})), 0U);
        m_env.erase("VORPANE_PROFILE");
        EXPECT_GT(count(vorpane({"modules", "--json"})), 0U);
    }
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i) {
        Args argv = {VORPANE_BINARY, "modules", "--json"};
        if (i % 2 == 1) {
            argv.insert(argv.begin() + 1, {"--profile", "work"});
        }
        pids.push_back(start_program(argv, m_env, m_home.root() / std::to_string(i)));
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(wait_program(pids[i]), 0);
        const auto doc =
            nlohmann::json::parse(read_file(m_home.root() / (std::to_string(i) + ".out")));
        EXPECT_EQ(doc["modules"].empty(), i % 2 == 1);
    }
    const auto requests = sandbox().requests();
    // One exchange each, every later answer from its own cache.
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const auto& request) { return request["route"] == "token"; }),
              2);
    EXPECT_TRUE(fs::exists(m_home.config_dir() / "profiles/work/cache.sqlite3"));

    fs::create_directories(m_home.config_dir() / "profiles/broken");
    std::ofstream(m_home.config_dir() / "profiles/broken/vorpane.toml") << "[profile";
    m_env["VORPANE_PROFILE"] = "work";
    r = vorpane({"profiles", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto listed = nlohmann::json::parse(r.out)["profiles"];
    ASSERT_EQ(listed.size(), 3U);
    EXPECT_EQ(listed[0]["name"], nullptr);
    EXPECT_EQ(listed[0]["credential_store"], "file");
    EXPECT_TRUE(listed[1].contains("error"));
    EXPECT_EQ(listed[2]["token_id"], "work-id");
    EXPECT_EQ(listed[2]["active"], true);
    EXPECT_THAT(vorpane({"profiles"}).out,
                ::testing::MatchesRegex("  \\(default\\) +token id .*, cloud, secret in the file\n"
                                        "  broken +error: .*\n\\* work +token id work-id, .*\n"));
    EXPECT_EQ(nlohmann::json::parse(vorpane({"status", "--json"}).out)["profile_name"], "work");

    r = vorpane({"modules", "--profile", "ghost"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("No user profile found in the config for profile ghost."),
              std::string::npos);
    r = vorpane({"status", "--profile", "../up"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("must match [A-Za-z0-9][A-Za-z0-9._-]{0,63}"), std::string::npos);
    ASSERT_EQ(vorpane({"logout"}).status, 0);
    EXPECT_FALSE(fs::exists(m_home.config_dir() / "profiles/work"));
    EXPECT_TRUE(fs::exists(config_file()));
}

} // namespace
} // namespace vorpane::test

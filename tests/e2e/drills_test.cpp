// Fault drills: concurrent runs, killed writes, misbehaving services, leaked secrets, full disks.
#include "vorpane/api/token.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/util/crypto.hpp"
#include "vorpane/util/sqlite.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;
// A tmpfs of `bytes` mounted at `dir` for the lifetime of the object; mounted() is false where
// the machine does not allow it.
class Tmpfs {
  public:
    Tmpfs(fs::path dir, size_t bytes) : m_dir(std::move(dir)) {
        fs::create_directories(m_dir);
        std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        m_mounted = ::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~Tmpfs() {
        if (m_mounted) {
            ::umount2(m_dir.c_str(), MNT_DETACH);
        }
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    [[nodiscard]] bool mounted() const { return m_mounted; }
    // Writes a filler file until the file system refuses more.
    void fill() const {
        std::ofstream out(m_dir / "filler", std::ios::binary);
        const std::string chunk(4096, 'x');
        while (out.write(chunk.data(), static_cast<std::streamsize>(chunk.size())).flush()) {
        }
    }

  private:
    fs::path m_dir;
    bool m_mounted = false;
};

// `dir` read-only for the lifetime of the object: bound read-only onto itself, or, where the
// machine does not allow mounting, without write permission (which stops everyone but root).
class ReadOnlyDir {
  public:
    explicit ReadOnlyDir(fs::path dir) : m_dir(std::move(dir)) {
        m_mounted = ::mount(m_dir.c_str(), m_dir.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (m_mounted && ::mount(nullptr, m_dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                                 nullptr) != 0) {
            ::umount2(m_dir.c_str(), MNT_DETACH);
            m_mounted = false;
        }
        if (!m_mounted) {
            fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);
        }
    }
    ~ReadOnlyDir() {
        if (m_mounted) {
            ::umount2(m_dir.c_str(), MNT_DETACH);
        } else {
            fs::permissions(m_dir, fs::perms::owner_all);
        }
    }
    ReadOnlyDir(const ReadOnlyDir&) = delete;
    ReadOnlyDir& operator=(const ReadOnlyDir&) = delete;

  private:
    fs::path m_dir;
    bool m_mounted = false;
};

class DrillTest : public E2ETest {
  protected:
    pid_t start(const Args& args, const fs::path& stem) {
        Args argv = {VORPANE_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return start_program(argv, m_env, stem);
    }
    // Names in the configuration directory other than the store, its lock and the configuration
    // file.
    std::set<std::string> stray_files() const {
        std::set<std::string> names = names_in(m_home.config_dir());
        for (const char* ours : {"vorpane.toml", "cache.sqlite3", "cache.lock"}) {
            names.erase(ours);
        }
        return names;
    }
};

TEST_F(DrillTest, SixteenConcurrentListingsAgreeAndShareOneIntactCache) {
    init_demo_profile();
    sandbox().clear_log();
    std::vector<pid_t> pids;
    for (int i = 0; i < 16; ++i) {
        pids.push_back(start({"modules"}, m_home.root() / ("run" + std::to_string(i))));
    }
    std::vector<int> statuses;
    for (pid_t pid : pids) {
        statuses.push_back(wait_program(pid));
    }
    auto log = sandbox().requests();
    // The first run fetches under the cache's lock; the others wait and find its answers.
    EXPECT_EQ(count_route(log, "token"), 1U);
    EXPECT_EQ(count_route(log, "entitlements"), 1U);
    std::string first = read_file(m_home.root() / "run0.out");
    ASSERT_NE(first.find("ZEL_FOO_APP"), std::string::npos) << first;
    for (int i = 0; i < 16; ++i) {
        fs::path stem = m_home.root() / ("run" + std::to_string(i));
        EXPECT_EQ(statuses[static_cast<size_t>(i)], 0) << read_file(stem.string() + ".err");
        EXPECT_EQ(read_file(stem.string() + ".out"), first) << i;
        EXPECT_EQ(read_file(stem.string() + ".err"), "") << i;
    }
    EXPECT_TRUE(stray_files().empty());
    {
        util::Db db(m_home.config_dir() / "cache.sqlite3");
        util::Stmt check(db, "PRAGMA integrity_check");
        ASSERT_TRUE(check.step());
        EXPECT_EQ(check.column_text(0), "ok");
    }
    sandbox().clear_log();
    auto r = vorpane({"modules"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, first);
    EXPECT_TRUE(sandbox().requests().empty()) << "the 17th run was not served from the cache";
}

TEST_F(DrillTest, InitKilledAtRandomMomentsLeavesTheOldProfileOrTheNewOneWithoutOldAnswers) {
    ASSERT_EQ(vorpane({"init", "--token-id", "new-id", "--token", "new-secret"}).status, 0);
    const std::string new_text = read_file(config_file());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(vorpane({"init", "--token-id", "old-id", "--token", "old-secret"}).status, 0);
    // Kills land anywhere from the start to a little after the end of a whole run.
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    const std::string old_text = read_file(config_file());
    ASSERT_NE(old_text, new_text);
    const std::string token_key = api::access_token_key({"old-id", "old-secret", "cloud"});
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay_us(0, static_cast<int>(took.count() * 6 / 5));
    for (int i = 0; i < 60; ++i) {
        {
            std::ofstream out(config_file(), std::ios::trunc);
            out << old_text;
        }
        fs::permissions(config_file(), fs::perms::owner_read | fs::perms::owner_write);
        // An answer fetched with the old credentials.
        config::ResultCache before(m_home.config_dir());
        before.add_if_absent(token_key, "old", 60);
        ASSERT_TRUE(before.lookup(token_key));
        pid_t pid = start({"init", "--token-id", "new-id", "--token", "new-secret"},
                          m_home.root() / "killed");
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        ::kill(pid, SIGKILL);
        wait_program(pid);
        const std::string text = read_file(config_file());
        const std::string outcome = text == old_text ? "old" : text == new_text ? "new" : "broken";
        EXPECT_NE(outcome, "broken") << "seed " << seed << ", round " << i << ":\n" << text;
        EXPECT_EQ(fs::status(config_file()).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        const bool cached = fs::exists(m_home.config_dir() / "cache.sqlite3") &&
                            config::ResultCache(m_home.config_dir()).lookup(token_key);
        EXPECT_FALSE(outcome == "new" && cached) << "seed " << seed << ", round " << i;
        // A temporary file of an interrupted write may stay behind until the next init; it must
        // never be readable by others.
        for (const auto& name : stray_files()) {
            fs::path stray = m_home.config_dir() / name;
            EXPECT_EQ(fs::status(stray).permissions() &
                          (fs::perms::group_all | fs::perms::others_all),
                      fs::perms::none)
                << name;
            fs::remove(stray);
        }
    }
}

TEST_F(DrillTest, InitRacingWithListingsNeverDisturbsEither) {
    init_demo_profile();
    const auto reference = vorpane({"modules"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const auto account = sandbox().demo_account();
    const Args init = {"init", "--token-id", account.at("token_id").get<std::string>(), "--token",
                       account.at("token").get<std::string>()};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    int rounds = 0;
    for (; std::chrono::steady_clock::now() < end; ++rounds) {
        std::vector<pid_t> listings;
        for (int j = 0; j < 2; ++j) {
            listings.push_back(start({"modules"}, m_home.root() / ("list" + std::to_string(j))));
        }
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(wait_program(start(init, m_home.root() / "init")), 0)
                << read_file(m_home.root() / "init.err");
        }
        for (size_t j = 0; j < listings.size(); ++j) {
            const fs::path stem = m_home.root() / ("list" + std::to_string(j));
            EXPECT_EQ(wait_program(listings[j]), 0);
            EXPECT_EQ(read_file(stem.string() + ".err"), "") << "round " << rounds;
            EXPECT_EQ(read_file(stem.string() + ".out"), reference.out) << "round " << rounds;
        }
    }
}

TEST_F(DrillTest, ReadOnlyConfigurationDirectoryStillListsFromTheService) {
    init_demo_profile();
    const auto reference = vorpane({"modules"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    for (const bool with_cache : {true, false}) {
        if (!with_cache) {
            config::drop_result_cache(m_home.config_dir());
        }
        const auto before = read_tree(m_home.config_dir());
        ReadOnlyDir read_only(m_home.config_dir());
        sandbox().clear_log();
        auto r = vorpane({"modules"});
        EXPECT_EQ(r.status, 0) << with_cache;
        EXPECT_EQ(r.out, reference.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(count_route(sandbox().requests(), "entitlements"), 1U);
        EXPECT_EQ(read_tree(m_home.config_dir()), before);
    }
}

TEST_F(DrillTest, ServiceFaultsEndWithOneLineAndLeaveNothingBehind) {
    struct Case {
        std::string route;
        nlohmann::json fault;
        std::string expected; // in the error line
    };
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    const std::vector<Case> cases = {
        {"entitlements", {{"delay", 7}}, "The entitlement service did not answer within 5 s"},
        {"entitlements", {{"status", 500}}, "500"},
        {"entitlements", {{"status", 302}}, "answered with the unexpected status 302"},
        {"packages", {{"status", 999}}, "answered with the unexpected status 999"},
        {"entitlements", {{"body", "garbage{"}}, "not JSON"},
        {"entitlements", {{"body", "{\"a\": 1}"}}, "not a list"},
        {"entitlements", {{"body", "[{\"name\": 1, \"packages\": [\"a\"]}]"}}, "name"},
        {"entitlements", {{"truncate", true}}, "core.cloud.localhost"},
        {"entitlements", {{"drop", true}}, "core.cloud.localhost"},
        {"token", {{"status", 500}}, "No access token created"},
        {"token", {{"drop", true}}, "No access token created"},
        {"token", {{"truncate", true}}, "No access token created"},
        {"token", {{"body", "garbage{"}}, "not JSON"},
        {"token", {{"body", "{\"access_token\": 5}"}}, "not a string"},
        {"packages", {{"body", "{\"a\": 1}"}}, "list"},
        // Hostile answers: nested without end, endless, or with a terminal in the reason.
        {"entitlements", {{"body", deep}}, "nested deeper than 64 levels"},
        {"packages", {{"body", deep}}, "nested deeper than 64 levels"},
        {"token", {{"body", "{\"access_token\": " + deep + "}"}}, "nested deeper"},
        {"entitlements", {{"fill", 100'000'000}}, "larger than 64 MiB"},
        {"packages", {{"fill", 70 << 20}, {"no_content_length", true}}, "larger than 64 MiB"},
        {"entitlements", {{"trickle", 0.5}}, "did not answer within"},
        {"entitlements",
         {{"status", 502}, {"reason", "Bad\x1b]0;owned\x07\x1b[2J"}},
         "502 Server Error: Bad\\x1b]0;owned\\x07\\x1b[2J for url"},
    };
    // The fake logs a request when its handler ends, which for a slow or dropped answer is after
    // the client gave up: requests are told apart by when they began.
    auto asked_since = [this](const std::string& route, double since) {
        const auto log = sandbox().requests();
        return std::count_if(log.begin(), log.end(), [&](const auto& entry) {
            return entry.value("route", "") == route && entry.value("t_start", 0.0) >= since;
        });
    };
    // Every fault here is permanent: one attempt shows it, and retries would only add waits.
    m_env["VORPANE_HTTP_RETRIES"] = "0";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.route + " " + c.fault.dump());
        init_demo_profile();
        auto account = sandbox().demo_account();
        account["faults"] = {{c.route, c.fault}};
        sandbox().write_account(account);
        Args command =
            c.route == "packages" ? Args{"download-examples", "--list-available"} : Args{"modules"};
        auto r = vorpane(command);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(lines_in(r.err), 1) << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
        EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos);
        EXPECT_EQ(r.err.find("demo-secret"), std::string::npos);
        EXPECT_EQ(r.err.find("test-access-token"), std::string::npos);
        EXPECT_TRUE(stray_files().empty());

        sandbox().write_account(sandbox().demo_account());
        double recovery = config::wall_clock();
        r = vorpane(command);
        EXPECT_EQ(r.status, 0) << r.err;
        // Nothing of the failed answer was kept: the service is asked again.
        EXPECT_EQ(asked_since(c.route, recovery), 1);
    }
}

TEST_F(DrillTest, NoOutputRevealsSecretsOnAnyPath) {
    auto account = sandbox().demo_account();
    account["token_id"] = "drill-id-Q7x";
    account["token"] = "drill-secret-Zk93";
    account["access_token"] = "drill-access-Wm48";
    std::string index = sandbox().index_url();
    account["pip_location"] = "http://user:drill-pass-Rt52@" + index.substr(7);
    const Args secrets = {"drill-secret-Zk93",
                          util::base64_encode("drill-id-Q7x:drill-secret-Zk93"),
                          "drill-access-Wm48", "drill-pass-Rt52"};
    const Args init = {"init", "--token-id", "drill-id-Q7x", "--token", "drill-secret-Zk93"};
    std::string seen;
    auto run = [&](const nlohmann::json& faults, const Args& args, int status, bool fresh) {
        auto with_faults = account;
        with_faults["faults"] = faults;
        sandbox().write_account(with_faults);
        if (fresh) {
            ASSERT_EQ(vorpane(init).status, 0);
        }
        auto r = vorpane(args);
        EXPECT_EQ(r.status, status) << nlohmann::json(args).dump() << r.out << r.err;
        seen += r.out + r.err;
    };
    auto none = nlohmann::json::object();
    fs::create_directories(m_home.root() / "ex");
    run(none, init, 0, false);
    run(none, {"modules"}, 0, false);
    run(none, {"--info"}, 0, false);
    m_env["UV_STANDIN_FAIL"] = "always";
    run(none, {"install", "zel-baz", "-y"}, 1, false);
    m_env.erase("UV_STANDIN_FAIL");
    run({{"examples", {{"status", 404}}}},
        {"download-examples", "-m", "foo_app", "--download-dir", (m_home.root() / "ex").string()},
        1, false);
    run({{"token", {{"status", 401}}}}, {"modules"}, 1, true);
    run({{"entitlements", {{"status", 500}}}}, {"modules"}, 1, true);
    run({{"entitlements", {{"drop", true}}}}, {"modules"}, 1, false);
    // A damaged configuration must not be quoted back.
    write_file(config_file(),
               "[profile]\ntoken_id = \"drill-id-Q7x\"\ntoken = \"drill-secret-Zk93\n");
    run(none, {"modules"}, 1, false);
    ASSERT_NE(seen.find("Error downloading examples"), std::string::npos) << seen;
    for (const auto& secret : secrets) {
        EXPECT_EQ(seen.find(secret), std::string::npos) << secret << " in:\n" << seen;
    }
}

TEST_F(DrillTest, FullDiskFailsCleanlyForConfigurationAndExamples) {
    Tmpfs home(m_home.root() / "small-home", 64 * 1024);
    if (!home.mounted()) {
        GTEST_SKIP() << "this machine does not allow mounting a tmpfs";
    }
    m_env["HOME"] = (m_home.root() / "small-home").string();
    fs::path config_dir = m_home.root() / "small-home" / ".config" / "Vorpane";
    ASSERT_EQ(vorpane({"init", "--token-id", "old-id", "--token", "old-secret"}).status, 0);
    const std::string old_text = read_file(config_dir / "vorpane.toml");
    // A backup kept as a hard link: init leaves it alone, so wiping frees no space.
    fs::create_hard_link(config_dir / "vorpane.toml", config_dir / "vorpane.toml.bak");
    home.fill();
    auto r = vorpane({"init", "--token-id", "new-id", "--token", "new-secret"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_in(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("new-secret"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(config_dir / "vorpane.toml"), old_text);
    EXPECT_EQ(read_file(config_dir / "vorpane.toml.bak"), old_text);
    EXPECT_EQ(names_in(config_dir), (std::set<std::string>{"vorpane.toml", "vorpane.toml.bak"}));

    m_env["HOME"] = m_home.home().string();
    init_demo_profile();
    Tmpfs target(m_home.root() / "small-target", 1024 * 1024);
    ASSERT_TRUE(target.mounted());
    target.fill();
    r = vorpane({"download-examples", "--download-dir", (m_home.root() / "small-target").string()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(lines_in(r.err), 1) << r.err;
    // Each download reports its own failure; the command's line names them.
    EXPECT_NE(r.out.find("No space left on device"), std::string::npos) << r.out;
    fs::remove(m_home.root() / "small-target" / "filler");
    r = vorpane({"download-examples", "--download-dir", (m_home.root() / "small-target").string()});
    EXPECT_EQ(r.status, 0) << r.err;
}

} // namespace
} // namespace vorpane::test

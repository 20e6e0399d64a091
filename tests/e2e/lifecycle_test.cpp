// Whose access token a run sends, what it does when the token is refused or its output is lost.

#include "vorpane/api/token.hpp"
#include "vorpane/config/cache.hpp"
#include "vorpane/util/sqlite.hpp"

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

class LifecycleTest : public E2ETest {
  protected:
    // `modules` against `account` with only access tokens cached: its requests as "route status".
    std::vector<std::string> modules_against(const nlohmann::json& account, int status) {
        util::Db(m_home.config_dir() / "cache.sqlite3", SQLITE_OPEN_READWRITE)
            .exec("DELETE FROM cache WHERE key NOT LIKE '" +
                  config::cache_key(api::ACCESS_TOKEN_ANSWER, "") + "%'");
        sandbox().write_account(account);
        sandbox().clear_log();
        const auto r = vorpane({"modules"});
        EXPECT_EQ(r.status, status) << r.err;
        std::vector<std::string> seen;
        for (const auto& request : sandbox().requests()) {
            seen.push_back(request["route"].get<std::string>() + " " + request["status"].dump());
        }
        return seen;
    }
};

TEST_F(LifecycleTest, TheTokenServesItsProfileOnlyAndARevokedOneIsReplacedOnce) {
    init_demo_profile();
    ASSERT_EQ(vorpane({"modules"}).status, 0);
    // The secret changed by hand on both sides: the old account's token is not sent again.
    write_file(config_file(), "[profile]\ntoken_id = \"demo-id\"\ntoken = \"rotated\"\n");
    auto account = sandbox().demo_account();
    account.update({{"token", "rotated"}, {"access_token", "AT-2"}});
    EXPECT_EQ(modules_against(account, 0), (Args{"token 200", "entitlements 200"}));
    // Revoked by the service: one new exchange, then the same request again.
    account["access_token"] = "AT-3";
    EXPECT_EQ(modules_against(account, 0),
              (Args{"entitlements 401", "token 200", "entitlements 200"}));
    // A fresh token refused as well is the error.
    account["faults"] = {{"entitlements", {{"status", 401}}}};
    EXPECT_EQ(modules_against(account, 1),
              (Args{"entitlements 401", "token 200", "entitlements 401"}));
    // A token that would split the request's headers is refused, and not kept for the next run.
    account.erase("faults");
    account["access_token"] = "AT\r\nX-Injected: 1";
    EXPECT_EQ(modules_against(account, 1), (Args{"entitlements 401", "token 200"}));
    EXPECT_EQ(nlohmann::json::parse(vorpane({"status", "--json"}).out)["credentials"], "unusable");
    EXPECT_EQ(modules_against(account, 1), Args{"token 200"});
}

TEST_F(LifecycleTest, LostOutputFailsTheRunAndABrokenPipeEndsItQuietly) {
    init_demo_profile();
    const std::string reason = "Error: cannot write to standard output: ";
    for (const Args& args :
         {Args{"--version"}, Args{"modules", "--json"}, Args{"status", "--json"}}) {
        for (const auto& [end, said] :
             {std::pair{OutputEnd::full_device, reason + "No space left on device\n"},
              std::pair{OutputEnd::closed, reason + "Bad file descriptor\n"},
              std::pair{OutputEnd::broken_pipe, std::string()}}) {
            Args argv = {VORPANE_BINARY};
            argv.insert(argv.end(), args.begin(), args.end());
            const auto r = run_program(argv, {m_env, std::nullopt, m_home.root(), false, 120, end});
            EXPECT_EQ(r.status, 1) << args[0] << " " << static_cast<int>(end);
            EXPECT_EQ(r.err, said) << args[0] << " " << static_cast<int>(end);
        }
    }
}

} // namespace
} // namespace vorpane::test

// Offline runs (--offline, VORPANE_OFFLINE) against the fake cloud, which counts every connection.
#include "vorpane/util/sqlite.hpp"

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

constexpr long kDay = 86400;

struct Row {
    Args args;
    std::string offline_variable;
    int status;
    std::string out;
    std::string err;
};

class OfflineTest : public E2ETest {
  protected:
    // Runs each row and checks its outcome, and that it opened no connection.
    void expect_rows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            m_env["VORPANE_OFFLINE"] = row.offline_variable;
            const auto r = vorpane(row.args);
            const std::string what = ::testing::PrintToString(row.args);
            EXPECT_EQ(r.status, row.status) << what << r;
            EXPECT_THAT(r.out, HasSubstr(row.out)) << what;
            EXPECT_THAT(r.err, HasSubstr(row.err)) << what;
            EXPECT_THAT(r.err, Not(HasSubstr("Traceback"))) << what;
            EXPECT_EQ(sandbox().connections(), 0U) << what;
        }
    }
    void SetUp() override {
        E2ETest::SetUp();
        m_env["UV_STANDIN_LOG"] = (m_home.root() / "uv.log").string();
        init_demo_profile();
    }
    // Makes every stored answer `seconds` older, expiry and keep time included.
    void age_cache(long seconds) {
        util::Db(m_home.config_dir() / "cache.sqlite3", SQLITE_OPEN_READWRITE)
            .exec("UPDATE cache SET stored = stored - " + std::to_string(seconds) +
                  ", expires = expires - " + std::to_string(seconds) + ", keep = keep - " +
                  std::to_string(seconds));
    }
    // Stores every answer an offline run may need: entitlements, package list, index address.
    void store_answers() {
        ASSERT_EQ(vorpane({"download-examples", "--list-available"}).status, 0);
        // uv fails after the index address was asked for: nothing is installed.
        m_env["UV_STANDIN_FAIL"] = "always";
        ASSERT_EQ(vorpane({"install", "zel-foo-utils", "-y"}).status, 1);
        m_env.erase("UV_STANDIN_FAIL");
    }
    // The uv calls logged, each as one line of arguments.
    std::string uv_calls() {
        std::string calls;
        for (const auto& entry : read_jsonl(m_home.root() / "uv.log")) {
            for (const auto& arg : entry["argv"]) {
                calls += arg.get<std::string>() + " ";
            }
            calls += "\n";
        }
        return calls;
    }
};

TEST_F(OfflineTest, ExpiredAnswersServeOfflineRunsWithoutAConnectionButNeverOnlineOnes) {
    store_answers();
    age_cache(2 * kDay);
    sandbox().clear_log();
    const std::vector<Row> rows = {
        {{"--offline", "modules"},
         "",
         0,
         "ZEL_FOO_APP",
         "Offline: using answers stored 2 days ago.\n"},
        {{"modules", "--offline", "--json"}, "no", 0, "\"offline\": true", ""},
        {{"--info"}, "1", 0, "ZEL_BAR_SOLVER", "Offline: using answers stored 2 days ago.\n"},
        {{"-v", "modules"},
         "true",
         0,
         "ZEL_BAZ_FREE",
         "offline: the entitlements from the cache, stored 2 days ago"},
        {{"download-examples", "--list-available", "--offline"}, "", 0, "zel-foo-app-examples", ""},
        {{"download-examples"},
         "yes",
         1,
         "Error downloading examples for zel-foo-app-examples: offline",
         "Error: Could not download the examples for zel-foo-app-examples, "
         "zel-bar-solver-examples\n"},
        {{"install", "zel-foo-utils", "-y", "--offline"}, "", 0, "", ""},
        {{"status", "--offline"}, "", 0, "not checked (offline)", ""},
        {{"status", "--json"}, "1", 0, "\"credentials\": \"unchecked\"", ""},
        {{"-v", "--offline", "status"}, "", 0, "package index address", ""},
    };
    expect_rows(rows);
    // The JSON listing says when its answers were stored, in RFC 3339 form.
    m_env["VORPANE_OFFLINE"] = "1";
    const auto listing = nlohmann::json::parse(vorpane({"modules", "--json"}).out);
    EXPECT_EQ(listing.at("offline"), true);
    EXPECT_THAT(listing.at("answers_stored_at").get<std::string>(),
                ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z"));
    // uv was told to stay offline, with the index address the online run stored.
    EXPECT_THAT(uv_calls(), HasSubstr("--index-url " + sandbox().index_url() + " --offline \n"));
    EXPECT_EQ(sandbox().requests().size(), 0U);

    // Online, the same expired answers are asked for afresh.
    m_env["VORPANE_OFFLINE"] = "0";
    ASSERT_EQ(vorpane({"modules"}).status, 0);
    EXPECT_EQ(count_route(sandbox().requests(), "entitlements"), 1U);
    EXPECT_GT(sandbox().connections(), 0U);

    // Thirty days after they were stored, answers serve no offline run either.
    age_cache(31 * kDay);
    sandbox().clear_log();
    m_env["VORPANE_OFFLINE"] = "1";
    const auto r = vorpane({"download-examples", "--list-available"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: offline: no stored answer for the entitlements; run the command "
                     "once online\n");
    EXPECT_EQ(sandbox().connections(), 0U);
}

TEST_F(OfflineTest, WithoutStoredAnswersOfflineCommandsFailWithoutAConnection) {
    const std::string missing = "Error: offline: no stored answer for the ";
    const std::vector<Row> rows = {
        {{"--offline", "modules"},
         "",
         1,
         "",
         missing + "entitlements; run the command once online\n"},
        {{"modules", "--json", "--offline"}, "", 1, "", missing + "entitlements"},
        {{"download-examples", "--list-available"}, "yes", 1, "", missing + "entitlements"},
        {{"install", "zel-foo-utils", "-y"}, "true", 1, "", missing},
        {{"status", "--offline", "--json"}, "", 0, "\"credentials\": \"unchecked\"", ""},
        // The option wins over the variable, even one that is not valid.
        {{"--offline", "modules"}, "maybe", 1, "", missing + "entitlements"},
        {{"modules"},
         "maybe",
         1,
         "",
         "Error: VORPANE_OFFLINE must be 1, true, yes, 0, false, no or empty, not \"maybe\"\n"},
    };
    sandbox().clear_log();
    expect_rows(rows);
    EXPECT_THAT(uv_calls(), Not(HasSubstr("install")));
}

} // namespace
} // namespace vorpane::test

#include "vorpane/extract/archive.hpp"
#include "vorpane/net/downloader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "support/local_cloud.hpp"
#include "support/scoped_env.hpp"
#include "support/tar_builder.hpp"
#include "support/temp_home.hpp"

namespace vorpane::net {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Outcomes = std::map<std::string, std::optional<std::string>>;

// The fake cloud serves alpha, gamma and delta (each "NAME/readme.txt" and 200 kB of noise, so
// that a transfer takes several chunks), evil (a member "../escaped") and broken (not gzip);
// beta is missing.
class Downloader : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_cloud = std::make_unique<test::LocalCloud>();
        for (const char* name : {"alpha", "gamma", "delta"}) {
            const std::string dir = name;
            test::write_tar_gz(served() / (dir + ".tar.gz"),
                               {{dir + "/readme.txt", 'f', "hello " + dir},
                                {dir + "/noise.bin", 'f', "", 0644, 200'000}});
        }
        test::write_tar_gz(served() / "evil.tar.gz", {{"../escaped", 'f', "x"}});
        test::write_file(served() / "broken.tar.gz", std::string(5000, 'z'));
    }
    static void TearDownTestSuite() { s_cloud.reset(); }
    static fs::path served() { return s_cloud->state() / "examples"; }

    void SetUp() override {
        account({});
        s_cloud->clear_log();
        m_retry.random = [] { return 0.0; };
        m_retry.on_attempt = [this](const HttpAttempt& attempt) { m_attempts.push_back(attempt); };
    }
    static void account(const json& faults, bool ignore_range = false) {
        s_cloud->set_account({{"access_token", "AT-secret"},
                              {"examples_dir", served().string()},
                              {"chunk_delay", 0.05},
                              {"ignore_range", ignore_range},
                              {"faults", faults}});
    }
    [[nodiscard]] fs::path downloads() const { return m_tmp.path() / "downloads"; }
    static std::string url(const std::string& name) {
        return s_cloud->base() + "/v1/license/artifacts/examples/" + name + ".tar.gz";
    }
    DownloadJob job(const std::string& name) const {
        return {url(name),
                {{"Accept", "application/json"}, {"Authorization", "Bearer AT-secret"}},
                "Downloading " + name,
                downloads()};
    }

    // Downloads and unpacks `names` into downloads()/NAME; the outcome of each.
    Outcomes run(const std::vector<std::string>& names, util::ProgressOutput output = {}) {
        std::vector<DownloadJob> jobs;
        for (const auto& name : names) {
            jobs.push_back(job(name));
        }
        if (!output.is_terminal) {
            output.write = [](std::string_view) { ADD_FAILURE() << "wrote to a non-terminal"; };
        }
        Outcomes finished;
        DownloadHandlers handlers;
        handlers.consume = [&](size_t index, int fd) {
            extract::extract_tar_gz_safely(fd, downloads() / names[index], names[index]);
        };
        handlers.finished = [&](size_t index, const std::optional<std::string>& error) {
            EXPECT_EQ(finished.count(names[index]), 0U) << names[index];
            finished[names[index]] = error;
            m_screen_at_report.push_back(m_screen);
        };
        run_downloads(jobs, handlers, output, m_retry, "vorpane-test", {s_cloud->ca().string(), ""},
                      m_limits);
        return finished;
    }
    // The unpacked alpha.
    [[nodiscard]] std::string alpha() const {
        const fs::path dir = downloads() / "alpha" / "alpha";
        return test::read_file(dir / "readme.txt") + test::read_file(dir / "noise.bin");
    }

    static std::unique_ptr<test::LocalCloud> s_cloud;
    test::TempDir m_tmp;
    RetryPolicy m_retry;
    DownloadLimits m_limits;
    std::vector<HttpAttempt> m_attempts;
    std::string m_screen;
    std::vector<std::string> m_screen_at_report;
};

std::unique_ptr<test::LocalCloud> Downloader::s_cloud;

TEST_F(Downloader, DownloadsRunTogetherAndUnpackAndOneNotFoundOnlyReports) {
    const Outcomes finished = run({"alpha", "beta", "gamma", "delta"});
    EXPECT_EQ(finished, (Outcomes{{"alpha", std::nullopt},
                                  {"beta", "404 Client Error: Not Found for url: " + url("beta")},
                                  {"gamma", std::nullopt},
                                  {"delta", std::nullopt}}));
    for (const char* name : {"alpha", "gamma", "delta"}) {
        EXPECT_EQ(test::read_file(downloads() / name / name / "readme.txt"),
                  std::string("hello ") + name);
    }
    // Spooled bodies leave nothing behind beside the targets.
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(downloads())) {
        entries.push_back(entry.path().filename().string());
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"alpha", "delta", "gamma"}));

    std::vector<json> transfers;
    // A 404 is asked once.
    const auto log = s_cloud->requests(4);
    EXPECT_EQ(log.size(), 4U);
    for (const auto& record : log) {
        EXPECT_EQ(record["headers"]["Authorization"], "Bearer AT-secret");
        if (record["status"] == 200) {
            transfers.push_back(record);
        }
    }
    ASSERT_EQ(transfers.size(), 3U);
    for (const auto& a : transfers) {
        for (const auto& b : transfers) {
            EXPECT_LT(a["t_start"].get<double>(), b["t_end"].get<double>())
                << a["path"] << " did not overlap " << b["path"];
        }
    }
}

TEST_F(Downloader, NoFailedDownloadEndsTheOthers) {
    m_retry.retries = [] { return 2U; };
    const Outcomes finished = run({"evil", "alpha", "broken", "nowhere"});
    ASSERT_EQ(finished.size(), 4U);
    EXPECT_EQ(finished.at("alpha"), std::nullopt);
    EXPECT_NE(finished.at("evil").value_or("").find("escaped"), std::string::npos);
    EXPECT_TRUE(finished.at("broken").has_value());
    EXPECT_FALSE(fs::exists(downloads() / "escaped"));
    EXPECT_EQ(test::read_file(downloads() / "alpha" / "alpha" / "readme.txt"), "hello alpha");

    // A connection refused is retried, then reported with the count of attempts.
    m_attempts.clear();
    DownloadJob gone = job("alpha");
    gone.url = "https://localhost:1/alpha.tar.gz";
    std::optional<std::string> error;
    run_downloads({gone}, {nullptr, [&](size_t, const auto& e) { error = e; }}, {}, m_retry, "",
                  {s_cloud->ca().string(), ""});
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("(https://localhost:1/alpha.tar.gz) (after 3 attempts)"),
              std::string::npos)
        << *error;
    ASSERT_EQ(m_attempts.size(), 3U);
    EXPECT_TRUE(m_attempts[0].will_retry && m_attempts[1].will_retry);
    EXPECT_FALSE(m_attempts[2].will_retry);
}

TEST_F(Downloader, AtMostTheAllowedNumberRunAtOnceAndATrickleIsAbandoned) {
    // Each body takes several delayed chunks, so downloads let run together overlap.
    const auto most_at_once = [&] {
        const auto log = s_cloud->requests(3);
        size_t most = 0;
        for (const auto& request : log) {
            const double at = request["t_start"].get<double>();
            most = std::max<size_t>(most, std::count_if(log.begin(), log.end(), [&](const json& r) {
                                        return r["t_start"].get<double>() <= at &&
                                               at < r["t_end"].get<double>();
                                    }));
        }
        return most;
    };
    for (const unsigned allowed : {1U, 2U, 8U}) {
        s_cloud->clear_log();
        m_limits.max_in_flight = allowed;
        const Outcomes finished = run({"alpha", "gamma", "delta"});
        EXPECT_EQ(finished, (Outcomes{{"alpha", {}}, {"gamma", {}}, {"delta", {}}}));
        EXPECT_EQ(most_at_once(), std::min(allowed, 3U)) << allowed;
    }
    for (const char* text : {"0", "65", "x", "8 ", "-1"}) {
        EXPECT_EQ(parse_max_downloads(text), std::nullopt) << text;
    }
    EXPECT_EQ(std::pair(parse_max_downloads(""), parse_max_downloads("64")),
              std::pair(std::optional(8U), std::optional(64U)));

    account({{"examples", {{"trickle", 0.5}}}});
    m_retry.retries = [] { return 0U; };
    m_limits.low_speed_seconds = 1;
    s_cloud->clear_log();
    EXPECT_EQ(run({"alpha"}).at("alpha"),
              "the download was abandoned: slower than 1 KiB/s for 1 s (" + url("alpha") +
                  ") (after 1 attempt)");
    // The fake logs the trickle once it notices the client has gone; later tests count requests.
    EXPECT_EQ(s_cloud->requests(1).size(), 1U);
}

TEST_F(Downloader, TransientFailuresAreRetriedAndCutBodiesResume) {
    ASSERT_EQ(run({"alpha"}), (Outcomes{{"alpha", std::nullopt}}));
    const std::string clean = alpha();
    struct Case {
        json fault;
        bool ignore_range;
        long second_status;
    };
    const std::vector<Case> cases = {
        {{{"status", 408}}, false, 200},    {{{"status", 429}}, false, 200},
        {{{"status", 500}}, false, 200},    {{{"status", 502}}, false, 200},
        {{{"status", 503}}, false, 200},    {{{"status", 504}}, false, 200},
        {{{"drop", true}}, false, 200},     {{{"cut_after", 70'000}}, false, 206},
        {{{"truncate", true}}, false, 206}, {{{"cut_after", 90'000}}, true, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.dump() + (c.ignore_range ? " ignoring ranges" : ""));
        auto fault = c.fault;
        fault["times"] = 1;
        account({{"examples", fault}}, c.ignore_range);
        s_cloud->clear_log();
        fs::remove_all(downloads());
        EXPECT_EQ(run({"alpha"}), (Outcomes{{"alpha", std::nullopt}}));
        EXPECT_EQ(alpha(), clean);
        const auto log = s_cloud->requests(2);
        ASSERT_EQ(log.size(), 2U);
        EXPECT_EQ(log[1]["status"], c.second_status);
        if (c.second_status == 206 || c.ignore_range) {
            // The rest is asked for, on condition that the file is still the same.
            const std::string sent = std::to_string(log[0]["bytes_sent"].get<long>());
            EXPECT_EQ(log[1]["headers"]["Range"], "bytes=" + sent + "-");
            EXPECT_EQ(log[1]["headers"]["If-Range"].get<std::string>().front(), '"');
        }
    }
}

TEST_F(Downloader, RedirectsStayOnHttpsAndServerTextsAreEscaped) {
    account({{"examples", {{"location", url("gamma")}, {"times", 1}}}});
    EXPECT_EQ(run({"alpha"}), (Outcomes{{"alpha", std::nullopt}}));
    EXPECT_EQ(test::read_file(downloads() / "alpha" / "gamma" / "readme.txt"), "hello gamma");

    const std::string plain = "http://localhost:1/v1/license/artifacts/examples/delta.tar.gz";
    account({{"examples", {{"location", plain}}}});
    EXPECT_EQ(
        run({"delta"}),
        (Outcomes{{"delta", "Refusing to follow a redirect away from https (" + plain + ")"}}));
    EXPECT_FALSE(fs::exists(downloads() / "delta"));

    account({{"examples", {{"status", 404}, {"reason", "Gone\x1b]0;pwned\x07"}}}});
    EXPECT_EQ(
        run({"alpha"}),
        (Outcomes{{"alpha", "404 Client Error: Gone\\x1b]0;pwned\\x07 for url: " + url("alpha")}}));
}

TEST_F(Downloader, BarsAreDrawnOnATerminalAndClearedBeforeEachReport) {
    util::ProgressOutput output;
    output.write = [&](std::string_view text) { m_screen += text; };
    output.is_terminal = true;
    output.columns = 120;
    run({"alpha"}, output);
    EXPECT_NE(m_screen.find("Downloading alpha"), std::string::npos);
    ASSERT_EQ(m_screen_at_report.size(), 1U);
    // Nothing of the bar is left on screen when the report line is written.
    const std::string& before = m_screen_at_report.front();
    EXPECT_EQ(before.substr(before.rfind('\x1b')), "\x1b[J");
    EXPECT_EQ(m_screen, before);
    EXPECT_TRUE(run({}).empty());
}

} // namespace
} // namespace vorpane::net

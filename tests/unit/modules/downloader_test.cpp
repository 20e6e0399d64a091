#include "vorpane/modules/downloader.hpp"
#include "vorpane/util/archive.hpp"
#include "vorpane/util/http.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "support/local_cloud.hpp"
#include "support/scoped_env.hpp"
#include "support/tar_builder.hpp"
#include "support/temp_home.hpp"

namespace vorpane::modules {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Outcomes = std::map<std::string, std::optional<std::string>>;

// The fake cloud serves alpha, gamma and delta (each "NAME/readme.txt" and 200 kB of noise, so
// that a transfer takes several chunks) and evil (a member "../escaped"); beta is missing.
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
    }
    static void TearDownTestSuite() { s_cloud.reset(); }
    static fs::path served() { return s_cloud->state() / "examples"; }

    void SetUp() override {
        account({});
        s_cloud->clear_log();
    }
    static void account(const json& faults) {
        s_cloud->set_account({{"access_token", "AT-secret"},
                              {"examples_dir", served().string()},
                              {"chunk_delay", 0.05},
                              {"faults", faults}});
    }
    [[nodiscard]] fs::path downloads() const { return m_tmp.path() / "downloads"; }
    static std::string url(const std::string& name) {
        return s_cloud->base() + "/v1/license/artifacts/examples/" + name + ".tar.gz";
    }
    DownloadJob job(const std::string& name) const {
        return {name,
                url(name),
                {{"Accept", "application/json"}, {"Authorization", "Bearer AT-secret"}},
                downloads() / name,
                util::DEFAULT_MAX_UNPACK_BYTES,
                "vorpane-test"};
    }

    Outcomes run(const std::vector<std::string>& names) {
        std::vector<DownloadJob> jobs;
        for (const auto& name : names) {
            jobs.push_back(job(name));
        }
        util::ProgressOutput quiet;
        quiet.write = [](std::string_view) { ADD_FAILURE() << "wrote to a non-terminal"; };
        Outcomes finished;
        run_downloads(
            jobs,
            [&](const DownloadJob& done, const std::optional<std::string>& error) {
                EXPECT_EQ(finished.count(done.name), 0U) << done.name;
                finished[done.name] = error;
            },
            quiet);
        return finished;
    }

    static std::unique_ptr<test::LocalCloud> s_cloud;
    test::TempDir m_tmp;
    test::ScopedEnv m_ca{"SSL_CERT_FILE", s_cloud->ca().string()};
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
    for (const auto& record : s_cloud->requests(4)) {
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

TEST_F(Downloader, BrokenTransfersAndRefusedMembersEndEverything) {
    account({{"examples", {{"truncate", true}}}});
    try {
        run({"alpha"});
        ADD_FAILURE() << "a truncated body was accepted";
    } catch (const util::HttpError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        EXPECT_NE(what.find(url("alpha")), std::string::npos) << what;
        EXPECT_EQ(what.find("AT-secret"), std::string::npos) << what;
    }
    EXPECT_FALSE(fs::exists(downloads() / "alpha" / "alpha" / "readme.txt"));

    account({});
    EXPECT_THROW(run({"evil"}), util::ArchiveMemberRefused);
    EXPECT_FALSE(fs::exists(downloads() / "escaped"));

    DownloadJob gone = job("alpha");
    gone.url = "https://localhost:1/alpha.tar.gz";
    EXPECT_THROW(run_downloads({gone}, [](const DownloadJob&, const auto&) {}, {}),
                 util::HttpError);
}

TEST_F(Downloader, RedirectsStayOnHttpsAndServerTextsAreEscaped) {
    account({{"examples", {{"location", url("gamma")}, {"times", 1}}}});
    EXPECT_EQ(run({"alpha"}), (Outcomes{{"alpha", std::nullopt}}));
    EXPECT_EQ(test::read_file(downloads() / "alpha" / "gamma" / "readme.txt"), "hello gamma");

    const std::string plain = "http://localhost:1/v1/license/artifacts/examples/delta.tar.gz";
    account({{"examples", {{"location", plain}}}});
    try {
        run({"delta"});
        ADD_FAILURE() << "a redirect to http was followed";
    } catch (const util::HttpError& e) {
        EXPECT_EQ(std::string(e.what()), "Refusing to follow the redirect of the download of "
                                         "delta away from https (" +
                                             plain + ")");
    }
    EXPECT_FALSE(fs::exists(downloads() / "delta"));

    account({{"examples", {{"status", 404}, {"reason", "Gone\x1b]0;pwned\x07"}}}});
    EXPECT_EQ(
        run({"alpha"}),
        (Outcomes{{"alpha", "404 Client Error: Gone\\x1b]0;pwned\\x07 for url: " + url("alpha")}}));
}

TEST_F(Downloader, BarsAreDrawnOnATerminalAndClearedBeforeEachReport) {
    std::string screen;
    util::ProgressOutput output;
    output.write = [&](std::string_view text) { screen += text; };
    output.is_terminal = true;
    output.columns = 120;
    std::vector<std::string> screen_at_report;
    run_downloads(
        {job("alpha")},
        [&](const DownloadJob&, const std::optional<std::string>&) {
            screen_at_report.push_back(screen);
        },
        output);
    EXPECT_NE(screen.find("Downloading examples for alpha"), std::string::npos);
    ASSERT_EQ(screen_at_report.size(), 1U);
    // Nothing of the bar is left on screen when the report line is written.
    const std::string& before = screen_at_report.front();
    EXPECT_EQ(before.substr(before.rfind('\x1b')), "\x1b[J");
    EXPECT_EQ(screen, before);
    EXPECT_TRUE(run({}).empty());
}

} // namespace
} // namespace vorpane::modules

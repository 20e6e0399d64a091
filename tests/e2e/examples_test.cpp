// `vorpane download-examples` end to end against the fake cloud.
#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;

class ExamplesTest : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        init_demo_profile();
        m_target = m_home.root() / "examples";
        fs::create_directories(m_target);
    }
    RunResult download(std::vector<std::string> extra) {
        std::vector<std::string> args = {"download-examples", "--download-dir", m_target.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return vorpane(args);
    }
    fs::path m_target;
};

TEST_F(ExamplesTest, ListsEntitledExamplesOnly) {
    auto r = vorpane({"download-examples", "--list-available"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Available examples: \nzel-foo-app-examples\nzel-bar-solver-examples\n");
    auto account = sandbox().demo_account();
    account["packages"] = {{{"key", "zel-foo-core"}}, {{"key", "other-examples"}}};
    sandbox().write_account(account);
    init_demo_profile();
    r = vorpane({"download-examples", "--list-available"});
    EXPECT_EQ(r.out, "Available examples: \n\n");
}

TEST_F(ExamplesTest, DownloadsAllConcurrentlyAndPointsToRequirements) {
    auto account = sandbox().demo_account();
    account["chunk_delay"] = 0.05;
    sandbox().write_account(account);
    auto r = download({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Downloading examples for all available packages to " + m_target.string() +
                         "\n"),
              std::string::npos);
    for (const char* name : {"zel-foo-app-examples", "zel-bar-solver-examples"}) {
        EXPECT_NE(r.out.find(std::string("Successfully downloaded examples for ") + name + " to " +
                             (m_target / name).string() + "\n"),
                  std::string::npos)
            << r.out;
    }
    auto req = m_target / "zel-foo-app-examples" / "zel_foo_app" / "requirements.txt";
    EXPECT_TRUE(fs::exists(req));
    EXPECT_TRUE(fs::exists(m_target / "zel-bar-solver-examples" / "zel_bar_solver" / "solve.py"));
    EXPECT_NE(r.out.find("Examples for zel-foo-app-examples require additional pacakges.To install "
                         "these dependencies run the following command:\nvorpane install -r " +
                         req.string() + "\n"),
              std::string::npos)
        << r.out;
    // Both transfers were in flight at the same time.
    std::vector<nlohmann::json> downloads;
    for (const auto& entry : sandbox().requests()) {
        if (entry.value("route", "") == "examples") {
            downloads.push_back(entry);
        }
    }
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_LT(downloads[0]["t_start"].get<double>(), downloads[1]["t_end"].get<double>());
    EXPECT_LT(downloads[1]["t_start"].get<double>(), downloads[0]["t_end"].get<double>());
}

TEST_F(ExamplesTest, NameMatchingAndUnknownNames) {
    auto r = download({"-m", "foo_app", "-m", "ZEL_FOO_APP", "-m", "bar-solver"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.out.find(
            "Package ZEL_FOO_APP not found in examples!\n"
            "Use vorpane download-examples --list-available to see available examples.\n\n\n"),
        std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(m_target / "zel-foo-app-examples"));
    EXPECT_TRUE(fs::exists(m_target / "zel-bar-solver-examples"));
}

TEST_F(ExamplesTest, OneMissingArchiveGivesARedLineAndTheOthersSucceed) {
    // A previous download stays and is still pointed to when its new download fails.
    write_file(m_target / "zel-bar-solver-examples" / "a" / "b" / "requirements.txt", "x\n");
    auto account = sandbox().demo_account();
    fs::path examples = m_home.root() / "served";
    fs::create_directories(examples);
    fs::copy_file(fs::path(account["examples_dir"].get<std::string>()) / "zel_foo_app.tar.gz",
                  examples / "zel_foo_app.tar.gz");
    account["examples_dir"] = examples.string();
    sandbox().write_account(account);
    auto r = download({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.out.find("Error downloading examples for zel-bar-solver-examples: 404 Client Error: "
                   "Not Found for url: https://core.cloud.localhost"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Successfully downloaded examples for zel-foo-app-examples"),
              std::string::npos);
    EXPECT_NE(r.out.find(
                  "vorpane install -r " +
                  (m_target / "zel-bar-solver-examples" / "a" / "b" / "requirements.txt").string()),
              std::string::npos);
}

TEST_F(ExamplesTest, MissingDownloadDirectoryFailsBeforeAnyRequest) {
    auto r = vorpane({"download-examples", "--download-dir", (m_home.root() / "nope").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Could not find download directory for examples!\n");
    EXPECT_TRUE(sandbox().requests().empty());
    EXPECT_FALSE(fs::exists(m_home.root() / "nope"));
}

TEST_F(ExamplesTest, TruncatedDownloadEndsTheCommand) {
    auto account = sandbox().demo_account();
    account["faults"] = {{"examples", {{"truncate", true}}}};
    sandbox().write_account(account);
    auto r = download({"-m", "foo_app"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out.find("Successfully"), std::string::npos);
}

TEST_F(ExamplesTest, DefaultDirectoryIsTheDataDirectory) {
    auto r = vorpane({"download-examples", "-m", "foo_app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(m_home.home() / ".local" / "share" / "Vorpane" / "examples" /
                           "zel-foo-app-examples" / "zel_foo_app" / "README.md"));
}

} // namespace
} // namespace vorpane::test

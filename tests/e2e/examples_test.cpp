// `vorpane download-examples` end to end against the fake cloud.
#include "vorpane/util/redact.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "support/e2e.hpp"
#include "support/tar_builder.hpp"

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
    // Every path below the test's directory but the download directory and the configuration
    // directory (whose cache changes): what a download may never touch.
    std::set<std::string> outside_tree() const {
        std::set<std::string> found;
        for (auto it = fs::recursive_directory_iterator(m_home.root()); it != fs::end(it); ++it) {
            if (it->path() == m_target || it->path() == m_home.config_dir()) {
                it.disable_recursion_pending();
            } else {
                found.insert(it->path().string());
            }
        }
        return found;
    }
    // Serves the demo archives from a folder of this test, with `name` replaced by `members`.
    nlohmann::json serve(const std::string& name, const std::vector<TarMember>& members) {
        auto account = sandbox().demo_account();
        fs::path served = m_home.root() / "served";
        fs::create_directories(served);
        fs::copy(account["examples_dir"].get<std::string>(), served,
                 fs::copy_options::overwrite_existing | fs::copy_options::recursive);
        write_tar_gz(served / name, members);
        account["examples_dir"] = served.string();
        return account;
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
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: No examples found for ZEL_FOO_APP\n");
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
    write_file(m_target / "zel-bar-solver-examples" / "it's $(x);" / "requirements.txt", "x\n");
    auto account = sandbox().demo_account();
    fs::path examples = m_home.root() / "served";
    fs::create_directories(examples);
    fs::copy_file(fs::path(account["examples_dir"].get<std::string>()) / "zel_foo_app.tar.gz",
                  examples / "zel_foo_app.tar.gz");
    account["examples_dir"] = examples.string();
    sandbox().write_account(account);
    auto r = download({});
    // The failure is the command's, after every download has ended and been reported.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Could not download the examples for zel-bar-solver-examples\n")
        << r.out;
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
    // A path that a shell would run something in is quoted for pasting.
    EXPECT_NE(r.out.find("vorpane install -r '" + (m_target / "zel-bar-solver-examples").string() +
                         "/it'\\''s $(x);/requirements.txt'\n"),
              std::string::npos)
        << r.out;
}

TEST_F(ExamplesTest, HostileExampleNamesAreDroppedAndNothingLandsOutside) {
    const std::vector<std::string> hostile = {"../../escaped-examples",
                                              "/tmp/vorpane-hostile-examples",
                                              "a/b-examples",
                                              "-x-examples",
                                              "\x1b]0;pwned\x07-examples",
                                              "-examples",
                                              "..examples",
                                              "a/../../up-examples"};
    auto account = sandbox().demo_account();
    for (const auto& key : hostile) {
        std::string code = "ENT_" + key.substr(0, key.size() - 9);
        std::transform(code.begin(), code.end(), code.begin(), ::toupper);
        account["entitlements"].push_back({{"name", "Hostile"},
                                           {"code", code},
                                           {"packages", {"zel-baz"}},
                                           {"required_entitlements", nlohmann::json::array()}});
        account["packages"].push_back({{"key", key}});
    }
    sandbox().write_account(account);
    const auto before = outside_tree();
    auto r = download({});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& key : hostile) {
        const std::string line = "Warning: ignored the package \"" + util::escape_control(key) +
                                 "\" from the service: not a valid package name\n";
        const auto at = r.err.find(line);
        EXPECT_TRUE(at != std::string::npos && r.err.find(line, at + 1) == std::string::npos)
            << r.err;
    }
    EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos);
    EXPECT_EQ(count_route(sandbox().requests(), "examples"), 2u);
    EXPECT_EQ(outside_tree(), before);
    EXPECT_FALSE(fs::exists("/tmp/vorpane-hostile-examples"));
    std::set<std::string> unpacked;
    for (const auto& entry : fs::directory_iterator(m_target)) {
        unpacked.insert(entry.path().filename().string());
    }
    EXPECT_EQ(unpacked, (std::set<std::string>{"zel-foo-app-examples", "zel-bar-solver-examples"}));
    r = vorpane({"download-examples", "--list-available"});
    EXPECT_EQ(r.out, "Available examples: \nzel-foo-app-examples\nzel-bar-solver-examples\n");
}

TEST_F(ExamplesTest, UnpackBoundAndHttpsRedirectsFailCleanly) {
    struct Case {
        std::string bound; // VORPANE_MAX_UNPACK_BYTES
        nlohmann::json fault;
        std::string error; // on the red line, or standard error when the plan fails
    };
    const std::string red = "Error downloading examples for zel-foo-app-examples: ";
    const std::vector<Case> cases = {
        {"100000", nullptr,
         "it unpacks to more than the 100000 bytes allowed; nothing of it was kept"},
        {"12x", nullptr, "Error: VORPANE_MAX_UNPACK_BYTES must be a whole number of bytes"},
        {"",
         {{"location", "http://core.cloud.localhost/v1/license/artifacts/examples/x.tar.gz"}},
         red + "Refusing to follow a redirect away from https (http://core.cloud.localhost/"},
    };
    // A bomb: 4 MB that compress to a few kilobytes.
    auto account =
        serve("zel_foo_app.tar.gz", {{"zel_foo_app/README.md", 'f', "hi"},
                                     {"zel_foo_app/zeros.bin", 'f', std::string(4 << 20, '0')}});
    write_file(m_target / "zel-foo-app-examples" / "mine.txt", "mine");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bound + c.fault.dump());
        account["faults"] =
            c.fault.is_null() ? nlohmann::json::object() : nlohmann::json{{"examples", c.fault}};
        sandbox().write_account(account);
        m_env["VORPANE_MAX_UNPACK_BYTES"] = c.bound;
        const auto before = outside_tree();
        auto r = download({"-m", "foo_app"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(lines_in(r.err), 1) << r.err;
        EXPECT_NE((r.out + r.err).find(c.error), std::string::npos) << r.out << r.err;
        EXPECT_EQ((r.out + r.err).find("test-access-token"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Successfully"), std::string::npos) << r.out;
        EXPECT_EQ(outside_tree(), before);
        std::vector<fs::path> left(fs::recursive_directory_iterator(m_target), {});
        EXPECT_EQ(left, (std::vector<fs::path>{m_target / "zel-foo-app-examples",
                                               m_target / "zel-foo-app-examples" / "mine.txt"}));
    }
    // The bound is per archive and the demo ones are small.
    m_env["VORPANE_MAX_UNPACK_BYTES"] = "300000";
    sandbox().write_account(sandbox().demo_account());
    EXPECT_EQ(download({"-m", "bar_solver"}).status, 0);
}

TEST_F(ExamplesTest, MissingDownloadDirectoryFailsBeforeAnyRequest) {
    auto r = vorpane({"download-examples", "--download-dir", (m_home.root() / "nope").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Could not find download directory for examples!\n");
    EXPECT_TRUE(sandbox().requests().empty());
    EXPECT_FALSE(fs::exists(m_home.root() / "nope"));
}

TEST_F(ExamplesTest, CutDownloadsResumeAndTransientFailuresAreRetried) {
    const fs::path unpacked = m_target / "zel-foo-app-examples";
    const auto files = [&unpacked] {
        std::map<std::string, std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(unpacked)) {
            found[entry.path().string()] = entry.is_regular_file() ? read_file(entry.path()) : "";
        }
        return found;
    };
    ASSERT_EQ(download({"-m", "foo_app"}).status, 0);
    const auto clean = files();
    struct Case {
        nlohmann::json fault;
        bool ignore_range;
        std::string retries; // VORPANE_HTTP_RETRIES
        size_t requests;
        std::string error; // on either stream; none: success
    };
    const std::string url = "for url: https://core.cloud.localhost:";
    const std::vector<Case> cases = {
        {{{"truncate", true}, {"times", 1}}, false, "", 2, ""},
        {{{"cut_after", 2000}, {"times", 1}}, true, "", 2, ""},
        // Waited for in earnest: the second request starts 2 s after the first answer.
        {{{"status", 503}, {"headers", {{"Retry-After", "2"}}}, {"times", 1}}, false, "", 2, ""},
        {{{"status", 503}}, false, "0", 1, "503 Server Error: Service Unavailable " + url},
        {{{"status", 404}}, false, "", 1, "404 Client Error: Not Found " + url},
        {nullptr, false, "abc", 0,
         "Error: VORPANE_HTTP_RETRIES must be a whole number from 0 to 100, not \"abc\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.dump() + " " + c.retries);
        auto account = sandbox().demo_account();
        account["faults"] =
            c.fault.is_null() ? nlohmann::json::object() : nlohmann::json{{"examples", c.fault}};
        account["ignore_range"] = c.ignore_range;
        sandbox().write_account(account);
        sandbox().clear_log();
        m_env["VORPANE_HTTP_RETRIES"] = c.retries;
        fs::remove_all(unpacked);
        auto r = download({"-m", "foo_app"});
        std::vector<nlohmann::json> asked;
        for (const auto& entry : sandbox().requests()) {
            if (entry.value("route", "") == "examples") {
                asked.push_back(entry);
            }
        }
        ASSERT_EQ(asked.size(), c.requests);
        if (c.error.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(files(), clean);
            if (c.fault.contains("headers")) {
                EXPECT_GE(asked[1]["t_start"].get<double>() - asked[0]["t_end"].get<double>(), 2.0);
                continue;
            }
            // The rest was asked for; a server that ignores ranges sent it all again.
            EXPECT_EQ(asked[1]["headers"].value("Range", ""),
                      "bytes=" + std::to_string(asked[0]["bytes_sent"].get<long>()) + "-");
            EXPECT_EQ(asked[1]["status"], c.ignore_range ? 200 : 206);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE((r.out + r.err).find(c.error), std::string::npos) << r.out << r.err;
            EXPECT_EQ((r.out + r.err).find("(after 1 attempt)") != std::string::npos,
                      c.retries == "0")
                << r.out;
            EXPECT_FALSE(fs::exists(unpacked / "zel_foo_app" / "README.md"));
        }
    }
}

TEST_F(ExamplesTest, ACorruptArchiveAmongThreeLeavesTheOthersDownloaded) {
    auto account = serve("zel_baz_tool.tar.gz", {{"zel_baz_tool/tool.py", 'f', "print(1)\n"}});
    write_file(fs::path(account["examples_dir"].get<std::string>()) / "zel_bar_solver.tar.gz",
               std::string(3000, 'x'));
    account["entitlements"].push_back({{"name", "Baz Tool"},
                                       {"code", "ENT_ZEL_BAZ_TOOL"},
                                       {"packages", {"zel-baz"}},
                                       {"required_entitlements", nlohmann::json::array()}});
    account["packages"].push_back({{"key", "zel-baz-tool-examples"}});
    sandbox().write_account(account);
    auto r = download({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Could not download the examples for zel-bar-solver-examples\n")
        << r.out;
    EXPECT_NE(r.out.find("Error downloading examples for zel-bar-solver-examples: "),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(m_target / "zel-foo-app-examples" / "zel_foo_app" / "README.md"));
    EXPECT_EQ(read_file(m_target / "zel-baz-tool-examples" / "zel_baz_tool" / "tool.py"),
              "print(1)\n");
    EXPECT_FALSE(fs::exists(m_target / "zel-bar-solver-examples" / "zel_bar_solver"));
}

TEST_F(ExamplesTest, DefaultDirectoryIsTheDataDirectory) {
    auto r = vorpane({"download-examples", "-m", "foo_app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(m_home.home() / ".local" / "share" / "Vorpane" / "examples" /
                           "zel-foo-app-examples" / "zel_foo_app" / "README.md"));
}

} // namespace
} // namespace vorpane::test

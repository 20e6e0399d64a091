// The command front end and `init`, driven through the built executable.
#include <sys/stat.h>

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;

const std::string kNotice = "No user profile found in the config.\nPlease run vorpane init.\n\n";

using CliTest = E2ETest;

TEST_F(CliTest, FirstRunShowsNoticeThenGroupHelp) {
    auto r = vorpane({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(kNotice, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Usage: vorpane [OPTIONS] COMMAND [ARGS]..."), std::string::npos);
    EXPECT_NE(r.out.find("The Zelcorp CLI tool for managing ZEL software modules."),
              std::string::npos);
    EXPECT_TRUE(fs::exists(config_file()));
    EXPECT_EQ(fs::file_size(config_file()), 0u);
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, MalformedCommandLinesExitWithTwo) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"bogus"},
                                                 {"--nope"},
                                                 {"init", "--token-id"},
                                                 {"install", "-r", "/tmp"}}) {
        auto r = vorpane(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("Usage: vorpane"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Error: "), std::string::npos) << r.err;
    }
}

TEST_F(CliTest, InitWithFlagsStoresProfileAtomicallyAndPrivately) {
    write_file(config_file(), "[profile]\ntoken_id = \"old\"\ntoken = \"old\"\n\n[options]\n"
                              "advanced_mode = true\n");
    auto r = vorpane({"init", "--token-id", "my-id", "--token", "s3cr\"et\\"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(config_file()),
              "[profile]\ntoken_id = \"my-id\"\ntoken = \"s3cr\\\"et\\\\\"\ncloud_environment = "
              "\"cloud\"\n\n[options]\nadvanced_mode = false\n");
    struct stat st {};
    ASSERT_EQ(::stat(config_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(r.out.find("You need a token"), std::string::npos);
    EXPECT_NE(r.out.find("\nVorpane initialized and ready. Next steps:\n"
                         "vorpane modules to show available modules.\n"
                         "vorpane install <modules> to install modules and python packages.\n"
                         "vorpane download-examples to download examples.\n"
                         "vorpane install mkl to install Math Kernel Library required by some ZEL "
                         "modules.\n"),
              std::string::npos)
        << r.out;
    // A stored profile: no notice on the next run; --version wins over a command.
    EXPECT_EQ(vorpane({"--version", "init"}).out, "vorpane, version 0.9.2\n");
    EXPECT_NE(read_file(config_file()).find("my-id"), std::string::npos);
}

TEST_F(CliTest, CloudEnvironmentFromFlagEnvironmentAndDefault) {
    struct Case {
        std::optional<std::string> env;
        std::vector<std::string> extra;
        std::string stored;
    };
    for (const Case& c : {Case{std::nullopt, {"--cloud-environment", "dev"}, "dev.cloud"},
                          Case{"dev.cloud", {}, "dev.cloud"},
                          Case{"dev.cloud", {"--cloud-environment", "cloud"}, "cloud"},
                          Case{std::nullopt, {"--cloud-environment", "DEV"}, "cloud"},
                          Case{std::nullopt, {"--cloud-environment", "prod"}, "cloud"}}) {
        if (c.env) {
            m_env["VORPANE_CLOUD_ENVIRONMENT"] = *c.env;
        } else {
            m_env.erase("VORPANE_CLOUD_ENVIRONMENT");
        }
        std::vector<std::string> args = {"init", "--token-id", "i", "--token", "t"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto r = vorpane(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(read_file(config_file()).find("cloud_environment = \"" + c.stored + "\""),
                  std::string::npos)
            << read_file(config_file());
    }
}

TEST_F(CliTest, InteractiveInitGuidesAndAsksInOrder) {
    auto r = vorpane({"init", "--cloud-environment", "dev"}, "\nthe-id\nthe-secret\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("You need a token to continue. Please create an account on "
                         "https://dev.cloud.localhost:"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("/tokens.\n\n"), std::string::npos);
    // The empty first answer asks the same question again.
    auto first = r.out.find("Enter your token id: Enter your token id: Enter your token secret: ");
    EXPECT_NE(first, std::string::npos) << r.out;
    auto stored = read_file(config_file());
    EXPECT_NE(stored.find("token_id = \"the-id\""), std::string::npos);
    EXPECT_NE(stored.find("token = \"the-secret\""), std::string::npos);
    EXPECT_NE(stored.find("cloud_environment = \"dev.cloud\""), std::string::npos);
}

TEST_F(CliTest, OnlyMissingSecretIsAskedAndEmptyFlagCountsAsGiven) {
    auto r = vorpane({"init", "--token-id", ""}, "sec\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Enter your token id"), std::string::npos);
    EXPECT_EQ(r.out.find("You need a token"), std::string::npos);
    EXPECT_NE(r.out.find("Enter your token secret: "), std::string::npos);
    EXPECT_NE(read_file(config_file()).find("token_id = \"\"\ntoken = \"sec\""), std::string::npos);
}

TEST_F(CliTest, InitStoppedBeforeStoringLeavesTheConfigDirectoryAsItWas) {
    init_demo_profile();
    ASSERT_EQ(vorpane({"modules"}).status, 0); // fills the cache
    write_file(m_home.config_dir() / "notes.txt", "x");
    const auto before = read_tree(m_home.config_dir());
    ASSERT_TRUE(before.count("cache.sqlite3"));
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> input;
        std::string error;
    };
    for (const Case& c : {Case{{"init"}, "", "Aborted!"}, Case{{"init"}, "new-id\n", "Aborted!"},
                          Case{{"init", "--token-id", "new-id"}, "", "Aborted!"},
                          Case{{"init", "--token-id", "i", "--token", "SECRET\xff"}, {}, "UTF-8"},
                          Case{{"init", "--token", "SECRET\xc0\xaf"}, "new-id\n", "UTF-8"}}) {
        auto r = vorpane(c.args, c.input);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_EQ(lines_in(r.err), 1) << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_EQ((r.out + r.err).find("SECRET"), std::string::npos);
        EXPECT_EQ(read_tree(m_home.config_dir()), before) << c.args.back();
    }
    // The profile and its cached answers still serve.
    sandbox().clear_log();
    EXPECT_EQ(vorpane({"modules"}).status, 0);
    EXPECT_TRUE(sandbox().requests().empty());
}

TEST_F(CliTest, InitCleanupKeepsBackupsAndSubfolders) {
    init_demo_profile();
    for (const char* name : {"vorpane.toml.bak", "old.bu", "kebak", "notes.txt"}) {
        write_file(m_home.config_dir() / name, "x");
    }
    write_file(m_home.config_dir() / "logs" / "a.log", "x");
    ASSERT_EQ(vorpane({"init", "--token-id", "a", "--token", "b"}).status, 0);
    for (const char* kept : {"vorpane.toml.bak", "old.bu", "kebak", "logs/a.log"}) {
        EXPECT_TRUE(fs::exists(m_home.config_dir() / kept)) << kept;
    }
    EXPECT_FALSE(fs::exists(m_home.config_dir() / "notes.txt"));
}

TEST_F(CliTest, StaleTemporaryConfigFilesAreRemoved) {
    // A writer killed before its rename leaves a temporary file holding the secret behind.
    init_demo_profile();
    fs::path stale = m_home.config_dir() / ".vorpane.toml.tmp-AAAAAA";
    fs::path fresh = m_home.config_dir() / ".vorpane.toml.tmp-BBBBBB";
    write_file(stale, "[profile]\n");
    write_file(fresh, "[profile]\n");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(1));
    ASSERT_EQ(vorpane({"--version"}).status, 0);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh)); // may belong to a writer that is still running
}

TEST_F(CliTest, InvalidTomlStopsEveryCommandWithoutQuotingTheFile) {
    for (const auto& [text, line] :
         {std::pair{"[profile\ntoken_id = 1\n", "line 1"},
          {"[profile]\ntoken_id = \"i\"\ntoken = 98765432109876543210\n", "line 3"}}) {
        write_file(config_file(), text);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"init", "--token-id", "a", "--token", "b"},
              {"--help"},
              {"modules"}}) {
            auto r = vorpane(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("vorpane.toml"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("98765"), std::string::npos) << r.err;
            EXPECT_EQ(lines_in(r.err), 1) << r.err;
        }
        EXPECT_EQ(read_file(config_file()), text);
    }
}

TEST_F(CliTest, VersionGateRejectsUnsupportedPython) {
    // The gate reads pyvenv.cfg first: a real environment declaring 3.9, then 3.13, needs neither.
    const fs::path venv = make_venv(VORPANE_PY311, "gated");
    m_env["VIRTUAL_ENV"] = venv.string();
    write_file(venv / "pyvenv.cfg", "home = /usr/bin\nversion = 3.9.18\n");
    // Only the commands that work in the environment are gated.
    for (const Args& args : {Args{"modules"}, {"--info"}, {"install", "x", "-y"}}) {
        auto r = vorpane(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Python version (3, 9) is not supported. Supported versions are: [(3, "
                         "10), (3, 11), (3, 12), (3, 13)].\n");
    }
    EXPECT_EQ(vorpane({"--version"}).status, 0);
    write_file(venv / "pyvenv.cfg", "home = /usr/bin\nversion = 3.13.0\n");
    EXPECT_EQ(vorpane({"modules"}).err.find("not supported"), std::string::npos);
}

TEST_F(CliTest, ColoursOnlyOnATerminal) {
    auto piped = vorpane({"--version"});
    EXPECT_EQ(piped.out.find('\x1b'), std::string::npos);
    auto tty = vorpane({"--version"}, std::nullopt, true);
    EXPECT_NE(tty.out.find("Please run \x1b[33mvorpane init\x1b[0m."), std::string::npos)
        << tty.out;
    m_env["NO_COLOR"] = "1";
    tty = vorpane({"--version"}, std::nullopt, true);
    EXPECT_EQ(tty.out.find('\x1b'), std::string::npos);
}

} // namespace
} // namespace vorpane::test

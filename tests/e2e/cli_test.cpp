// The command front end and `init`, driven through the built executable.
#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

namespace fs = std::filesystem;

const std::string kNotice = "No user profile found in the config.\nPlease run vorpane init.\n\n";

using CliTest = E2ETest;

TEST_F(CliTest, FirstRunShowsNoticeThenGroupHelp) {
    auto r = vorpane({});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, StartsWith(kNotice));
    EXPECT_THAT(r.out, HasSubstr("Usage: vorpane [OPTIONS] COMMAND [ARGS]..."));
    EXPECT_THAT(r.out, HasSubstr("The Zelcorp CLI tool for managing ZEL software modules."));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fs::file_size(config_file()), 0u); // created, empty
}

TEST_F(CliTest, MalformedCommandLinesExitWithTwo) {
    for (const Args& args :
         {Args{"bogus"}, {"--nope"}, {"init", "--token-id"}, {"install", "-r", "/tmp"}}) {
        auto r = vorpane(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_THAT(r.err,
                    AllOf(HasSubstr("Usage: vorpane"), HasSubstr("--help"), HasSubstr("Error: ")));
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
    EXPECT_EQ(perms_of(config_file()), fs::perms(0600));
    EXPECT_THAT(r.out, Not(HasSubstr("You need a token")));
    EXPECT_THAT(r.out,
                HasSubstr("\nVorpane initialized and ready. Next steps:\n"
                          "vorpane modules to show available modules.\n"
                          "vorpane install <modules> to install modules and python packages.\n"
                          "vorpane download-examples to download examples.\n"
                          "vorpane install mkl to install Math Kernel Library required by some ZEL "
                          "modules.\n"));
    // A stored profile: no notice on the next run; --version wins over a command.
    EXPECT_EQ(vorpane({"--version", "init"}).out, "vorpane, version 0.9.2\n");
    EXPECT_THAT(read_file(config_file()), HasSubstr("my-id"));
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
        EXPECT_THAT(read_file(config_file()),
                    HasSubstr("cloud_environment = \"" + c.stored + "\""));
    }
}

TEST_F(CliTest, InteractiveInitGuidesAndAsksInOrder) {
    auto r = vorpane({"init", "--cloud-environment", "dev"}, "\nthe-id\nthe-secret\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("You need a token to continue. Please create an account on "
                                 "https://dev.cloud.localhost:"));
    EXPECT_THAT(r.out, HasSubstr("/tokens.\n\n"));
    // The empty first answer asks the same question again.
    EXPECT_THAT(r.out,
                HasSubstr("Enter your token id: Enter your token id: Enter your token secret: "));
    EXPECT_THAT(read_file(config_file()),
                AllOf(HasSubstr("token_id = \"the-id\""), HasSubstr("token = \"the-secret\""),
                      HasSubstr("cloud_environment = \"dev.cloud\"")));
}

TEST_F(CliTest, OnlyMissingSecretIsAskedAndEmptyFlagCountsAsGiven) {
    auto r = vorpane({"init", "--token-id", ""}, "sec\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out,
                AllOf(Not(HasSubstr("Enter your token id")), Not(HasSubstr("You need a token")),
                      HasSubstr("Enter your token secret: ")));
    EXPECT_THAT(read_file(config_file()), HasSubstr("token_id = \"\"\ntoken = \"sec\""));
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
        EXPECT_THAT(r.err, HasSubstr(c.error));
        EXPECT_THAT(r.out + r.err, Not(HasSubstr("SECRET")));
        EXPECT_EQ(read_tree(m_home.config_dir()), before) << c.args.back();
    }
    // The profile and its cached answers still serve.
    sandbox().clear_log();
    EXPECT_EQ(vorpane({"modules"}).status, 0);
    EXPECT_TRUE(sandbox().requests().empty());
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
            EXPECT_THAT(r.err,
                        AllOf(HasSubstr("vorpane.toml"), HasSubstr(line), Not(HasSubstr("98765"))));
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
        EXPECT_EQ(vorpane(args),
                  (RunResult{1, "",
                             "Python version (3, 9) is not supported. Supported "
                             "versions are: [(3, 10), (3, 11), (3, 12), (3, 13)].\n"}));
    }
    EXPECT_EQ(vorpane({"--version"}).status, 0);
    write_file(venv / "pyvenv.cfg", "home = /usr/bin\nversion = 3.13.0\n");
    EXPECT_THAT(vorpane({"modules"}).err, Not(HasSubstr("not supported")));
}

TEST_F(CliTest, ColoursOnlyOnATerminal) {
    auto piped = vorpane({"--version"});
    EXPECT_THAT(piped.out, Not(HasSubstr("\x1b")));
    EXPECT_THAT(vorpane({"--version"}, std::nullopt, true).out,
                HasSubstr("Please run \x1b[33mvorpane init\x1b[0m."));
    m_env["NO_COLOR"] = "1";
    EXPECT_THAT(vorpane({"--version"}, std::nullopt, true).out, Not(HasSubstr("\x1b")));
}

} // namespace
} // namespace vorpane::test

#include "vorpane/core/errors.hpp"
#include "vorpane/core/output.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "support/scoped_env.hpp"
#include "support/temp_home.hpp"

namespace vorpane::core {
namespace {

TEST(TerminalDetection, ForcingAndNoColorDecideColourOffATerminal) {
    if (::isatty(STDOUT_FILENO) == 1 || ::isatty(STDERR_FILENO) == 1) {
        GTEST_SKIP() << "needs both streams redirected, as under ctest";
    }
    struct Case {
        std::map<std::string, std::string> env;
        bool color;
    };
    for (const Case& c : {
             Case{{}, false},
             Case{{{"FORCE_COLOR", "1"}}, true},
             Case{{{"FORCE_COLOR", "0"}}, false},
             Case{{{"FORCE_COLOR", ""}}, false},
             Case{{{"FORCE_COLOR", "0"}, {"CLICOLOR_FORCE", "yes"}}, true},
             Case{{{"CLICOLOR_FORCE", "0"}}, false},
             Case{{{"FORCE_COLOR", "1"}, {"NO_COLOR", "1"}}, false},
             Case{{{"CLICOLOR_FORCE", "1"}, {"NO_COLOR", "0"}}, false},
             // An empty NO_COLOR does not count as set.
             Case{{{"FORCE_COLOR", "true"}, {"NO_COLOR", ""}}, true},
         }) {
        const TerminalInfo info = TerminalInfo::detect(test::env_lookup(c.env));
        EXPECT_EQ(info.out_color, c.color) << testing::PrintToString(c.env);
        EXPECT_EQ(info.err_color, c.color) << testing::PrintToString(c.env);
        EXPECT_FALSE(info.err_can_redraw);
        EXPECT_EQ(info.err_columns, 80);
    }
}

struct Written {
    std::map<int, std::string> text;
    int out_error = 0;
};

Output output_into(Written& written, bool color, Verbosity verbosity, bool json) {
    TerminalInfo terminal;
    terminal.out_color = color;
    terminal.err_color = color;
    return Output(terminal, verbosity, json, [&written](int fd, std::string_view bytes) {
        written.text[fd] += bytes;
        return fd == STDOUT_FILENO ? written.out_error : EIO;
    });
}

TEST(Output, LinesGoToTheirStreamByModeWithColourOnlyWhereItIsWanted) {
    struct Case {
        Verbosity verbosity;
        bool json, color;
        std::string out, err;
    };
    // Only select-graphic-rendition sequences are colour; an unknown colour adds none.
    const std::string styled = style("m", "red") + style("", "pink", true) + "\x1b[2J\x1b";
    for (const Case& c : {
             Case{Verbosity::normal, false, false, "m\x1b[2J\x1b\ni\nn\n", "e\n"},
             Case{Verbosity::quiet, false, true, styled + "\nn\n", "e\n"},
             Case{Verbosity::verbose, true, false, "m\x1b[2J\x1b\n", "i\nn\nd\ne\n"},
         }) {
        Written written;
        Output out = output_into(written, c.color, c.verbosity, c.json);
        out.send_message(styled);
        out.info("i");
        out.notice("n");
        out.detail("d");
        // Standard error's failures are ignored: there is nowhere left to report them.
        out.send_error("e");
        EXPECT_EQ(written.text[STDOUT_FILENO], c.out);
        EXPECT_EQ(written.text[STDERR_FILENO], c.err);
    }
}

TEST(Output, FailedWritesToStandardOutputEndTheRun) {
    Written written;
    Output out = output_into(written, false, Verbosity::normal, false);
    written.out_error = EPIPE;
    EXPECT_THROW(out.send_message("x"), BrokenPipe);
    written.out_error = ENOSPC;
    EXPECT_EQ(test::what_of<OutputError>([&] { out.echo_raw("prompt: "); }),
              "cannot write to standard output: No space left on device");
}

} // namespace
} // namespace vorpane::core

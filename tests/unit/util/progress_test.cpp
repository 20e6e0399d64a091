#include "vorpane/util/progress.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace vorpane::util {
namespace {

using namespace std::chrono_literals;

TEST(ProgressFormat, ScalesBytesByPowersOfThousand) {
    EXPECT_EQ(format_bytes(0), "0 B");
    EXPECT_EQ(format_bytes(999), "999 B");
    EXPECT_EQ(format_bytes(1000), "1.0 kB");
    EXPECT_EQ(format_bytes(1049), "1.0 kB");
    EXPECT_EQ(format_bytes(1050), "1.1 kB");
    EXPECT_EQ(format_bytes(12'345'678), "12.3 MB");
    EXPECT_EQ(format_bytes(64'000'000), "64.0 MB");
    EXPECT_EQ(format_bytes(1'500'000'000), "1.5 GB");
    EXPECT_EQ(format_bytes(3'000'000'000'000), "3.0 TB");
}

TEST(ProgressFormat, RoundingUpMovesToTheNextUnit) {
    EXPECT_EQ(format_bytes(999'949), "999.9 kB");
    EXPECT_EQ(format_bytes(999'960), "1.0 MB");
    EXPECT_EQ(format_bytes(999'999'999), "1.0 GB");
}

class ProgressBarRender : public ::testing::Test {
  protected:
    ProgressClock::time_point m_start = ProgressClock::time_point(10s);
};

TEST_F(ProgressBarRender, ShowsPercentageBarAndSizesWhenTheTotalIsKnown) {
    ProgressBar bar("Downloading examples for zel-a", 64'000'000, m_start);
    bar.advance(16'000'000);
    std::string line = bar.render(120, m_start);
    EXPECT_EQ(line, "Downloading examples for zel-a  25% |#######                       | "
                    "16.0 MB/64.0 MB");
}

TEST_F(ProgressBarRender, ShowsOnlyTheCountWhenTheTotalIsUnknown) {
    ProgressBar bar("Downloading examples for zel-a", 0, m_start);
    bar.advance(1500);
    EXPECT_EQ(bar.render(120, m_start), "Downloading examples for zel-a 1.5 kB");
}

TEST_F(ProgressBarRender, AddsTheRateOnceTimeHasPassed) {
    ProgressBar bar("d", 0, m_start);
    bar.advance(6'000'000);
    EXPECT_EQ(bar.render(120, m_start + 2s), "d 6.0 MB  3.0 MB/s");
}

TEST_F(ProgressBarRender, NeverGoesBeyondOneHundredPercent) {
    ProgressBar bar("d", 1000, m_start);
    bar.advance(1500);
    EXPECT_NE(bar.render(120, m_start).find("100% |"), std::string::npos);
}

TEST_F(ProgressBarRender, FitsNarrowTerminals) {
    ProgressBar bar("Downloading examples for a-very-long-package-name-examples", 1'000'000,
                    m_start);
    bar.advance(500'000);
    std::string line = bar.render(40, m_start);
    EXPECT_LT(line.size(), 40U);
    EXPECT_NE(line.find("..."), std::string::npos) << line;
    EXPECT_NE(line.find("500.0 kB/1.0 MB"), std::string::npos) << line;
}

TEST_F(ProgressBarRender, ControlCharactersInTheDescriptionAreMasked) {
    ProgressBar bar("evil\x1b[2Jname", 0, m_start);
    EXPECT_EQ(bar.render(120, m_start).find('\x1b'), std::string::npos);
}

struct FakeTerminal {
    std::string written;
    ProgressClock::time_point now = ProgressClock::time_point(100s);

    ProgressOutput output(bool is_terminal) {
        ProgressOutput out;
        out.write = [this](std::string_view text) { written += text; };
        out.is_terminal = is_terminal;
        out.columns = 100;
        out.now = [this] { return now; };
        return out;
    }
};

TEST(ProgressBoardDrawing, WritesNothingWhenNotATerminal) {
    FakeTerminal terminal;
    bool printed = false;
    {
        ProgressBoard board(terminal.output(false));
        auto id = board.add("Downloading examples for a", 100);
        board.advance(id, 50);
        terminal.now += 1s;
        board.advance(id, 50);
        board.print_above([&] { printed = true; });
        board.remove(id);
    }
    EXPECT_TRUE(printed);
    EXPECT_EQ(terminal.written, "");
}

TEST(ProgressBoardDrawing, RedrawsInPlaceAndErasesWhenDone) {
    FakeTerminal terminal;
    {
        ProgressBoard board(terminal.output(true));
        auto a = board.add("a", 0);
        EXPECT_EQ(terminal.written, "a 0 B\n");
        auto b = board.add("b", 0);
        EXPECT_EQ(terminal.written, "a 0 B\n\r\x1b[1A\x1b[Ja 0 B\nb 0 B\n");
        terminal.written.clear();
        board.remove(a);
        EXPECT_EQ(terminal.written, "\r\x1b[2A\x1b[Jb 0 B\n");
        terminal.written.clear();
        (void)b;
    }
    EXPECT_EQ(terminal.written, "\r\x1b[1A\x1b[J");
}

TEST(ProgressBoardDrawing, RedrawsAtMostTenTimesASecond) {
    FakeTerminal terminal;
    ProgressBoard board(terminal.output(true));
    auto id = board.add("a", 0);
    terminal.written.clear();
    board.advance(id, 1);
    terminal.now += 50ms;
    board.advance(id, 1);
    EXPECT_EQ(terminal.written, "");
    terminal.now += 50ms;
    board.advance(id, 1);
    EXPECT_EQ(terminal.written, "\r\x1b[1A\x1b[Ja 3 B\n");
}

TEST(ProgressBoardDrawing, PrintAboveClearsFirstAndRedrawsAfter) {
    FakeTerminal terminal;
    ProgressBoard board(terminal.output(true));
    board.add("a", 0);
    board.add("b", 0);
    terminal.written.clear();
    board.print_above([&] { terminal.written += "<message>\n"; });
    EXPECT_EQ(terminal.written, "\r\x1b[2A\x1b[J<message>\na 0 B\nb 0 B\n");
}

TEST(ProgressBoardDrawing, PrintAboveRedrawsEvenWhenThePrinterThrows) {
    FakeTerminal terminal;
    ProgressBoard board(terminal.output(true));
    board.add("a", 0);
    terminal.written.clear();
    EXPECT_THROW(board.print_above([] { throw std::runtime_error("gone"); }), std::runtime_error);
    EXPECT_EQ(terminal.written, "\r\x1b[1A\x1b[Ja 0 B\n");
}

TEST(ProgressBoardDrawing, TotalsAndProgressReachTheBar) {
    FakeTerminal terminal;
    ProgressBoard board(terminal.output(true));
    auto id = board.add("a", 0);
    board.set_total(id, 2000);
    board.advance(id, 1000);
    ASSERT_NE(board.bar(id), nullptr);
    EXPECT_EQ(board.bar(id)->total(), 2000U);
    EXPECT_EQ(board.bar(id)->done(), 1000U);
    board.remove(id);
    EXPECT_EQ(board.bar(id), nullptr);
}

} // namespace
} // namespace vorpane::util

#include "vorpane/util/progress.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace vorpane::util {
namespace {

using namespace std::chrono_literals;

TEST(ProgressFormat, ScalesBytesByPowersOfThousand) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {999, "999 B"},        {1000, "1.0 kB"},    {1050, "1.1 kB"},
        {999'949, "999.9 kB"}, {999'960, "1.0 MB"}, {3'000'000'000'000, "3.0 TB"}};
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(format_bytes(bytes), text) << bytes;
    }
}

TEST(ProgressBarRender, PercentageSizesRateAndNarrowTerminals) {
    const auto start = ProgressClock::time_point(10s);
    ProgressBar known("Downloading examples for zel-a", 64'000'000, start);
    known.advance(16'000'000);
    EXPECT_EQ(known.render(120, start), "Downloading examples for zel-a  25% "
                                        "|#######                       | 16.0 MB/64.0 MB");
    ProgressBar rate("d", 0, start);
    rate.advance(6'000'000);
    EXPECT_EQ(rate.render(120, start + 2s), "d 6.0 MB  3.0 MB/s");
    ProgressBar narrow("Downloading examples for a-very-long-package-name-examples", 1'000'000,
                       start);
    narrow.advance(500'000);
    const std::string line = narrow.render(40, start);
    EXPECT_LT(line.size(), 40U);
    EXPECT_NE(line.find("..."), std::string::npos) << line;
    EXPECT_NE(line.find("500.0 kB/1.0 MB"), std::string::npos) << line;
    EXPECT_EQ(ProgressBar("evil\x1b[2Jname", 0, start).render(120, start).find('\x1b'),
              std::string::npos);
}

class ProgressBoardDrawing : public ::testing::Test {
  protected:
    ProgressOutput output(bool is_terminal) {
        ProgressOutput out;
        out.write = [this](std::string_view text) { m_written += text; };
        out.is_terminal = is_terminal;
        out.columns = 100;
        out.now = [this] { return m_now; };
        return out;
    }

    std::string m_written;
    ProgressClock::time_point m_now = ProgressClock::time_point(100s);
};

TEST_F(ProgressBoardDrawing, RedrawsInPlaceAtMostTenTimesASecondAndErasesWhenDone) {
    {
        ProgressBoard board(output(true));
        auto a = board.add("a", 0);
        EXPECT_EQ(m_written, "a 0 B\n");
        board.add("b", 0);
        EXPECT_EQ(m_written, "a 0 B\n\r\x1b[1A\x1b[Ja 0 B\nb 0 B\n");
        m_written.clear();
        board.advance(a, 1);
        m_now += 50ms;
        board.advance(a, 1);
        EXPECT_EQ(m_written, "");
        m_now += 50ms;
        board.advance(a, 1);
        EXPECT_EQ(m_written, "\r\x1b[2A\x1b[Ja 3 B\nb 0 B\n");
        m_written.clear();
        board.remove(a);
        EXPECT_EQ(m_written, "\r\x1b[2A\x1b[Jb 0 B\n");
        m_written.clear();
    }
    EXPECT_EQ(m_written, "\r\x1b[1A\x1b[J");
}

TEST_F(ProgressBoardDrawing, PrintAboveRedrawsAfterEvenWhenThePrinterThrows) {
    ProgressBoard board(output(true));
    board.add("a", 0);
    board.add("b", 0);
    m_written.clear();
    EXPECT_THROW(board.print_above([] { throw std::runtime_error("gone"); }), std::runtime_error);
    EXPECT_EQ(m_written, "\r\x1b[2A\x1b[Ja 0 B\nb 0 B\n");
}

} // namespace
} // namespace vorpane::util

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorpane::util {

using ProgressClock = std::chrono::steady_clock;

// Where progress bars go. Nothing at all is written unless `is_terminal`.
struct ProgressOutput {
    std::function<void(std::string_view)> write;
    bool is_terminal = false;
    // Width of the terminal; drawn lines stay shorter so that they never wrap.
    int columns = 80;
    std::function<ProgressClock::time_point()> now = [] { return ProgressClock::now(); };
};

// `bytes` in units of powers of 1000: "0 B", "999 B", "1.0 kB", "64.0 MB", "1.5 GB", "2.0 TB".
std::string format_bytes(std::uint64_t bytes);

// The state of one byte-counting bar.
class ProgressBar {
  public:
    // `total` 0 means unknown.
    ProgressBar(std::string description, std::uint64_t total, ProgressClock::time_point start);

    void advance(std::uint64_t bytes) noexcept { m_done += bytes; }
    void set_total(std::uint64_t total) noexcept { m_total = total; }
    [[nodiscard]] std::uint64_t done() const noexcept { return m_done; }
    [[nodiscard]] std::uint64_t total() const noexcept { return m_total; }

    // The bar as one line shorter than `columns` characters, without a line break:
    // "<description>  45% |#########           | 12.3 MB/27.0 MB  3.1 MB/s" when the total is
    // known, "<description> 12.3 MB  3.1 MB/s" otherwise. The rate appears once some time has
    // passed since the start; the description is shortened (ending in "...") when space runs out.
    [[nodiscard]] std::string render(int columns, ProgressClock::time_point now) const;

  private:
    std::string m_description;
    std::uint64_t m_total;
    std::uint64_t m_done = 0;
    ProgressClock::time_point m_start;
};

// A block of progress bars at the bottom of the terminal, one line per bar, redrawn in place
// with ANSI cursor movement at most ten times a second (adding or removing a bar redraws at
// once). Other output must go through print_above() so that it lands above the bars. The bars
// are erased from the screen on destruction. With a non-terminal output nothing is written.
class ProgressBoard {
  public:
    using LineId = std::size_t;

    explicit ProgressBoard(ProgressOutput output);
    ~ProgressBoard();
    ProgressBoard(const ProgressBoard&) = delete;
    ProgressBoard& operator=(const ProgressBoard&) = delete;

    // Adds a bar below the others and draws it; returns its id.
    LineId add(std::string description, std::uint64_t total);
    // Unknown ids are ignored by the following three.
    void set_total(LineId id, std::uint64_t total);
    void advance(LineId id, std::uint64_t bytes);
    // Erases the bar from the screen; the remaining bars close up.
    void remove(LineId id);

    // Erases the bars, runs `print` (which writes whole lines), and draws the bars again below
    // what it printed, also when `print` throws (the exception then propagates).
    void print_above(const std::function<void()>& print);

    // Erases every bar from the screen; the next redraw brings them back.
    void clear();
    // Draws every bar now.
    void redraw();

  private:
    struct Line {
        LineId id;
        ProgressBar bar;
    };

    void redraw_if_due();
    std::vector<Line>::iterator find(LineId id);

    ProgressOutput m_output;
    std::vector<Line> m_lines;
    LineId m_next_id = 0;
    int m_drawn = 0;
    ProgressClock::time_point m_last_draw{};
};

} // namespace vorpane::util

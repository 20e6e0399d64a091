#include "vorpane/util/progress.hpp"

#include <fmt/format.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace vorpane::util {

namespace {

constexpr auto redraw_interval = std::chrono::milliseconds(100);
constexpr auto rate_after = std::chrono::milliseconds(500);
constexpr int max_bar_width = 30;
constexpr int min_bar_width = 10;

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Terminal columns taken by UTF-8 `text`, counting one per code point.
int display_width(std::string_view text) {
    return static_cast<int>(
        std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation(c); }));
}

// The first `width` code points of `text`.
std::string_view cut(std::string_view text, int width) {
    size_t end = 0;
    int seen = 0;
    while (end < text.size()) {
        if (!is_continuation(text[end])) {
            if (seen == width) {
                break;
            }
            ++seen;
        }
        ++end;
    }
    return text.substr(0, end);
}

// A description comes from the network: control characters would reach the terminal raw.
std::string printable(std::string text) {
    for (char& c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return text;
}

} // namespace

std::string format_bytes(std::uint64_t bytes) {
    if (bytes < 1000) {
        return fmt::format("{} B", bytes);
    }
    static constexpr std::array<const char*, 4> units = {"kB", "MB", "GB", "TB"};
    long double divisor = 1000.0L;
    for (size_t i = 0;; ++i) {
        auto tenths = static_cast<std::uint64_t>(std::llround(bytes * 10.0L / divisor));
        // 999 960 bytes round to 1000.0 kB, which reads better as 1.0 MB.
        if (tenths < 10000 || i + 1 == units.size()) {
            return fmt::format("{}.{} {}", tenths / 10, tenths % 10, units[i]);
        }
        divisor *= 1000.0L;
    }
}

ProgressBar::ProgressBar(std::string description,
                         std::uint64_t total,
                         ProgressClock::time_point start)
    : m_description(printable(std::move(description))), m_total(total), m_start(start) {}

std::string ProgressBar::render(int columns, ProgressClock::time_point now) const {
    const int budget = std::max(columns - 1, 1);
    std::string rate;
    const auto elapsed = now - m_start;
    if (elapsed >= rate_after) {
        const double seconds = std::chrono::duration<double>(elapsed).count();
        rate = "  " + format_bytes(static_cast<std::uint64_t>(m_done / seconds)) + "/s";
    }

    std::string tail;
    if (m_total > 0) {
        const std::uint64_t done = std::min(m_done, m_total);
        const auto percent = static_cast<int>(done * 100.0L / m_total);
        const std::string sizes = format_bytes(m_done) + "/" + format_bytes(m_total);
        const std::string plain = fmt::format(" {:3d}% {}{}", percent, sizes, rate);
        const int room = budget - display_width(m_description) - display_width(plain) - 3;
        if (room >= min_bar_width) {
            const int width = std::min(room, max_bar_width);
            const auto filled = static_cast<int>(done * static_cast<long double>(width) / m_total);
            tail = fmt::format(" {:3d}% |{}{}| {}{}", percent, std::string(filled, '#'),
                               std::string(width - filled, ' '), sizes, rate);
        } else {
            tail = plain;
        }
    } else {
        tail = " " + format_bytes(m_done) + rate;
    }

    const int tail_width = display_width(tail);
    if (display_width(m_description) + tail_width <= budget) {
        return m_description + tail;
    }
    const int keep = budget - tail_width - 3;
    if (keep <= 0) {
        return std::string(cut(m_description + tail, budget));
    }
    return std::string(cut(m_description, keep)) + "..." + tail;
}

ProgressBoard::ProgressBoard(ProgressOutput output) : m_output(std::move(output)) {}

ProgressBoard::~ProgressBoard() {
    try {
        clear();
    } catch (...) {
        // The sink failed while the board goes away; there is nobody left to tell.
        (void)0;
    }
}

ProgressBoard::LineId ProgressBoard::add(std::string description, std::uint64_t total) {
    const LineId id = m_next_id++;
    m_lines.push_back(Line{id, ProgressBar(std::move(description), total, m_output.now())});
    redraw();
    return id;
}

void ProgressBoard::set_total(LineId id, std::uint64_t total) {
    if (auto it = find(id); it != m_lines.end()) {
        it->bar.set_total(total);
        redraw_if_due();
    }
}

void ProgressBoard::advance(LineId id, std::uint64_t bytes) {
    if (auto it = find(id); it != m_lines.end()) {
        it->bar.advance(bytes);
        redraw_if_due();
    }
}

void ProgressBoard::remove(LineId id) {
    if (auto it = find(id); it != m_lines.end()) {
        m_lines.erase(it);
        redraw();
    }
}

void ProgressBoard::print_above(const std::function<void()>& print) {
    clear();
    try {
        print();
    } catch (...) {
        redraw();
        throw;
    }
    redraw();
}

void ProgressBoard::clear() {
    if (!m_output.is_terminal || m_drawn == 0) {
        return;
    }
    const int drawn = std::exchange(m_drawn, 0);
    m_output.write(fmt::format("\r\x1b[{}A\x1b[J", drawn));
}

void ProgressBoard::redraw() {
    if (!m_output.is_terminal) {
        return;
    }
    std::string frame;
    if (m_drawn > 0) {
        frame = fmt::format("\r\x1b[{}A\x1b[J", m_drawn);
    }
    const auto now = m_output.now();
    for (const auto& line : m_lines) {
        frame += line.bar.render(m_output.columns, now);
        frame += '\n';
    }
    m_last_draw = now;
    m_drawn = static_cast<int>(m_lines.size());
    if (!frame.empty()) {
        m_output.write(frame);
    }
}

void ProgressBoard::redraw_if_due() {
    if (m_output.is_terminal && m_output.now() - m_last_draw >= redraw_interval) {
        redraw();
    }
}

std::vector<ProgressBoard::Line>::iterator ProgressBoard::find(LineId id) {
    return std::find_if(m_lines.begin(), m_lines.end(),
                        [id](const Line& line) { return line.id == id; });
}

} // namespace vorpane::util

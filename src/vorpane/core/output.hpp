#pragma once

#include "vorpane/util/progress.hpp"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vorpane::core {

inline constexpr std::string_view MODULE_COLOR = "yellow";
inline constexpr std::string_view PACKAGE_COLOR = "blue";

// `text` wrapped in the ANSI sequences for the foreground colour `fg` ("red", "green",
// "yellow" or "blue"; anything else adds no colour) and, when `bold`, bold; then a reset.
std::string style(std::string_view text, std::optional<std::string_view> fg, bool bold = false);

// `text` with every ANSI select-graphic-rendition sequence removed.
std::string strip_ansi(std::string_view text);

enum class Verbosity { quiet, normal, verbose };

// What the two output streams are, decided once per run.
struct TerminalInfo {
    bool out_is_terminal = false;
    bool err_is_terminal = false;
    // Whether colour sequences reach each stream.
    bool out_color = false;
    bool err_color = false;
    // Standard error can redraw progress bars in place (a terminal, and TERM is not "dumb").
    bool err_can_redraw = false;
    int err_columns = 80;

    // Reads one variable of the run's environment; std::nullopt when unset.
    using Lookup = std::function<std::optional<std::string>(const std::string&)>;

    // Asks the terminal, and `env` (the run's environment): colour when the stream is a
    // terminal, or when FORCE_COLOR or CLICOLOR_FORCE is set to a value other than "" and "0";
    // NO_COLOR (set and non-empty) turns colour off whatever else says; TERM "dumb" cannot
    // redraw.
    static TerminalInfo detect(const Lookup& env);
};

// The one place the tool's text leaves through: every line for standard output and standard
// error, prompts and progress bars. Write failures on standard error are ignored (there is
// nowhere left to report them); a failed write to standard output ends the run.
class Output {
  public:
    // Writes `bytes` to file descriptor 1 or 2 and returns 0 or an errno; replaced in tests.
    using Writer = std::function<int(int fd, std::string_view bytes)>;

    // Without `writer` the real descriptors are written; a standard output that is closed is
    // then taken by /dev/null, so that no file the run opens becomes descriptor 1, and every
    // write to it fails with EBADF.
    explicit Output(TerminalInfo terminal,
                    Verbosity verbosity = Verbosity::normal,
                    bool json = false,
                    Writer writer = {});

    // `message` and a line break on standard output, colours removed unless it takes them.
    // Throws BrokenPipe when the reader has gone away, OutputError when the write failed.
    void send_message(std::string_view message);
    // The same without the line break (prompts).
    void echo_raw(std::string_view text);
    // `message` and a line break on standard error: errors and warnings, shown in every mode.
    void send_error(std::string_view message);
    // Narration a script can do without (headings, legends, success lines): a send_message line,
    // except that quiet mode drops it and JSON mode sends it to standard error.
    void info(std::string_view message);
    // A notice the user must see (a missing profile): like info, but kept in quiet mode.
    void notice(std::string_view message);
    // One line on standard error in verbose mode only; safe to call from several threads at once
    // (whole lines, never mixed).
    void detail(std::string_view message);

    // Flushes what the C library still holds for standard output, at the end of a run. Throws
    // BrokenPipe or OutputError when that, or an earlier write through the C library, failed.
    void finish() const;

    // Sets the mode once the command line has been read.
    void configure(Verbosity verbosity, bool json) noexcept {
        m_verbosity = verbosity;
        m_json = json;
    }

    [[nodiscard]] Verbosity verbosity() const noexcept { return m_verbosity; }
    [[nodiscard]] bool quiet() const noexcept { return m_verbosity == Verbosity::quiet; }
    [[nodiscard]] bool verbose() const noexcept { return m_verbosity == Verbosity::verbose; }
    [[nodiscard]] bool json() const noexcept { return m_json; }
    [[nodiscard]] const TerminalInfo& terminal() const noexcept { return m_terminal; }

    // Where progress bars go: standard error when it can redraw in place and the run is not
    // quiet; a silent output otherwise.
    [[nodiscard]] util::ProgressOutput progress_output() const;

  private:
    void write_out(std::string_view text);
    void write_err(std::string_view text);

    TerminalInfo m_terminal;
    Verbosity m_verbosity;
    bool m_json;
    Writer m_writer;
    std::mutex m_detail_mutex;
};

} // namespace vorpane::core

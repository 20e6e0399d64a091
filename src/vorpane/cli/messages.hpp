#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorpane {

inline constexpr std::string_view MODULE_COLOR = "yellow";
inline constexpr std::string_view PACKAGE_COLOR = "blue";

// `text` wrapped in the ANSI sequences for the foreground colour `fg` ("red", "green",
// "yellow" or "blue"; anything else adds no colour) and, when `bold`, bold; then a reset.
std::string style(std::string_view text, std::optional<std::string_view> fg, bool bold = false);

// True when colours should reach standard output: it is a terminal and NO_COLOR is unset or
// empty. Asked anew on every call.
bool stdout_wants_color();

// `text` with every ANSI select-graphic-rendition sequence removed.
std::string strip_ansi(std::string_view text);

// Writes `message` and a line break to standard output and flushes; colours are removed when
// stdout_wants_color() is false. Throws BrokenPipe when the reader has gone away.
void send_message(std::string_view message);

// The same for standard error (colours removed unless standard error is a terminal).
void send_error(std::string_view message);

// Writes `text` to standard output without adding a line break (colours as send_message).
void echo_raw(std::string_view text);

} // namespace vorpane

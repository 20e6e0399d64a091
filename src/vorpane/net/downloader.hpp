#pragma once

#include "vorpane/net/http.hpp"
#include "vorpane/util/progress.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpane::net {

// One file to fetch.
struct DownloadJob {
    std::string url;
    // Sent in this order with the GET.
    std::vector<std::pair<std::string, std::string>> headers;
    // The text of its progress bar.
    std::string label;
    // Where its body is spooled: an unnamed file in this directory (created as needed), which
    // is gone when the download ends.
    std::filesystem::path spool_dir;
};

// What becomes of each download.
struct DownloadHandlers {
    // Runs once per download whose whole body arrived (status below 400), with a descriptor of
    // the spooled body positioned at its start. What it throws (a std::exception) becomes that
    // download's error; the others go on.
    std::function<void(std::size_t index, int fd)> consume;
    // Runs once per download (index into the jobs), in completion order, with the bars cleared
    // from the screen: nothing after success, else the download's one-line error (escaped). What
    // it throws ends all downloads.
    std::function<void(std::size_t index, const std::optional<std::string>& error)> finished;
};

// The most downloads in flight at once unless the user says otherwise, and the bounds on that.
inline constexpr unsigned DEFAULT_MAX_DOWNLOADS = 8;
inline constexpr unsigned MAX_MAX_DOWNLOADS = 64;

// How far run_downloads may go at once, and how slow a download may be.
struct DownloadLimits {
    // Downloads that hold a handle and a spool at once (from their first attempt to their end,
    // waits between attempts included); the others wait their turn without either.
    unsigned max_in_flight = DEFAULT_MAX_DOWNLOADS;
    // An attempt slower than low_speed_bytes a second, averaged over low_speed_seconds, is
    // abandoned: "the download was abandoned: slower than 1 KiB/s for 30 s (<url>)".
    long low_speed_bytes = 1024;
    long low_speed_seconds = 30;
};

// Reads a VORPANE_MAX_DOWNLOADS setting: a whole number from 1 to MAX_MAX_DOWNLOADS; ""
// means DEFAULT_MAX_DOWNLOADS. Nothing when it is anything else.
std::optional<unsigned> parse_max_downloads(std::string_view text);

// Downloads every job over one HTTP session, at most `limits.max_in_flight` at a time, in job
// order (one thread; connections reused; redirects followed, from an https address only to
// https ones; certificates verified; no overall time limit, but a 30 s connection limit and
// the speed limit of `limits`), each with a progress bar on `output` and sent with
// `user_agent`. Bodies are spooled to disk, so memory stays bounded whatever their size; the
// bytes count as sent (no content decoding).
//
// Transient failures (see RetryPolicy) are retried after `retry`'s wait, measured on the steady
// clock while the other downloads go on. A body cut off is resumed with "Range: bytes=N-" (and
// If-Range with the first answer's ETag or Last-Modified); an answer that ignores the range
// starts the spool over. A body shorter than its Content-Length is never consumed.
//
// No download ends another: a status of 400 or above (status_error_text), a failed transfer
// after its retries (its HttpError text with attempts_suffix), a spool that cannot be written,
// or whatever `consume` throws becomes that download's error. Throws only what `finished`
// throws, and std::runtime_error when libcurl cannot be loaded.
void run_downloads(const std::vector<DownloadJob>& jobs,
                   const DownloadHandlers& handlers,
                   const util::ProgressOutput& output,
                   const RetryPolicy& retry,
                   const std::string& user_agent,
                   const TlsTrust& trust = {},
                   const DownloadLimits& limits = {});

} // namespace vorpane::net

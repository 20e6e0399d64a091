#pragma once

#include "vorpane/util/archive.hpp"
#include "vorpane/util/progress.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorpane::modules {

// One example archive to fetch and unpack.
struct DownloadJob {
    // The example package name, shown on its progress bar and in messages.
    std::string name;
    std::string url;
    // Sent in this order with the GET.
    std::vector<std::pair<std::string, std::string>> headers;
    // The directory the archive is unpacked into (created as needed; never a symbolic link).
    std::filesystem::path target;
    // The most the archive may unpack to (see util::extract_tar_gz_safely).
    std::uint64_t max_unpack_bytes = util::DEFAULT_MAX_UNPACK_BYTES;
    std::string user_agent;
};

// Called once per finished job, in completion order: no error text after a successful download
// and unpacking, or the status error text ("404 Client Error: Not Found for url: <url>") when
// the server answered 400 or above.
using DownloadFinished =
    std::function<void(const DownloadJob& job, const std::optional<std::string>& error_text)>;

// Downloads every job at once over one HTTP session (one thread; connections reused; redirects
// followed, from an https address only to https ones; certificates verified; no overall time
// limit, but a 30 s connection limit and a transfer slower than 1 byte/s for 60 s is abandoned).
// Each body is spooled to an unnamed temporary file beside the target, so memory stays bounded
// whatever the archive size, with a progress bar "Downloading examples for <name>" on `output`;
// when complete it is unpacked with util::extract_tar_gz_safely, then `on_finished` runs with the
// bars cleared from the screen. A status of 400 or above only reports to `on_finished`; the other
// jobs go on. Texts from the server and the archive (reason phrases, URLs, member names) reach
// `on_finished` and the exceptions with their control characters escaped.
// Throws util::HttpError (connection failure, truncated body, redirect away from https),
// util::ArchiveError, util::ArchiveTooLarge and util::ArchiveMemberRefused (the archive),
// std::system_error (spool or file system) or whatever `on_finished` throws; the remaining
// transfers are then abandoned.
void run_downloads(const std::vector<DownloadJob>& jobs,
                   const DownloadFinished& on_finished,
                   util::ProgressOutput output);

} // namespace vorpane::modules

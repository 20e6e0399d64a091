#include "vorpane/net/downloader.hpp"

#include "vorpane/net/curl.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/redact.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

namespace vorpane::net {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// A named file that is unlinked at once, for systems without O_TMPFILE.
int open_unlinked_temporary(const fs::path& dir) {
    std::string pattern = (dir / ".download-XXXXXX").string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
        ::unlink(pattern.c_str());
    }
    return fd;
}

// An unnamed file that disappears when closed. It lives in the caller's directory rather than
// the temporary one, which is often a RAM-backed file system too small for large archives.
util::UniqueFd open_spool(const fs::path& dir) {
    fs::create_directories(dir);
#ifdef O_TMPFILE
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return util::UniqueFd(fd);
    }
#endif
    int fd_named = open_unlinked_temporary(dir);
    if (fd_named >= 0) {
        return util::UniqueFd(fd_named);
    }
    const int error = errno;
    int fd_tmp = open_unlinked_temporary(fs::temp_directory_path());
    if (fd_tmp >= 0) {
        return util::UniqueFd(fd_tmp);
    }
    throw std::system_error(error, std::generic_category(),
                            "Cannot create a temporary file in " +
                                util::escape_control(dir.string()));
}

// One download with its spool, progress bar and attempts.
class Transfer final : public TransferSink {
  public:
    // How an attempt ended: a wait before the next one, or the download's end.
    struct Next {
        std::optional<milliseconds> wait;
        std::optional<std::string> error;
    };

    Transfer(const DownloadJob& job,
             util::ProgressBoard& board,
             const RetryPolicy& retry,
             unsigned retries,
             const std::string& user_agent,
             const TlsTrust& trust,
             const DownloadLimits& limits)
        : m_job(job), m_board(board), m_retry(retry), m_retries(retries), m_user_agent(user_agent),
          m_trust(trust), m_limits(limits) {}
    ~Transfer() override { drop_bar(); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    Transfer(Transfer&&) = delete;
    Transfer& operator=(Transfer&&) = delete;

    [[nodiscard]] CurlEasy& easy() noexcept { return *m_easy; }
    // The handle of this download while it has one, else null.
    [[nodiscard]] CURL* handle() const noexcept { return m_easy ? m_easy->get() : nullptr; }
    [[nodiscard]] std::optional<SteadyClock::time_point> due() const noexcept { return m_due; }
    // True until the first attempt starts.
    [[nodiscard]] bool waiting_turn() const noexcept { return m_attempt == 0; }

    // Lets go of the handle and the spool once the download has ended (out of the session).
    void release() noexcept {
        m_easy.reset();
        m_headers = CurlSlist();
        m_spool.reset();
    }

    // Sets the next attempt up, asking for the rest of the body when part of it is spooled.
    // Throws std::system_error (spool), std::invalid_argument (headers), std::runtime_error.
    void start() {
        m_due.reset();
        ++m_attempt;
        if (!m_spool) {
            m_spool = open_spool(m_job.spool_dir);
            m_line = m_board.add(m_job.label, 0);
        }
        if (!m_easy) {
            m_easy.emplace();
        }
        m_started = SteadyClock::now();
        m_attempt_bytes = 0;
        m_head = HttpResponse{};
        m_body_started = false;
        m_easy->reset();
        TransferSetup setup;
        setup.url = m_job.url;
        setup.user_agent = m_user_agent;
        setup.trust = m_trust;
        setup.follow_redirects = true;
        setup.decode = false;
        setup.low_speed_bytes = m_limits.low_speed_bytes;
        setup.low_speed_seconds = m_limits.low_speed_seconds;
        set_up_transfer(*m_easy, setup);
        m_easy->setopt(CURLOPT_HTTPGET, 1L);
        // Larger reads mean fewer callbacks and writes for archives of many megabytes.
        m_easy->setopt(CURLOPT_BUFFERSIZE, 256L * 1024L);
        auto headers = m_job.headers;
        if (m_received > 0) {
            headers.emplace_back("Range", "bytes=" + std::to_string(m_received) + "-");
            if (!m_validator.empty()) {
                headers.emplace_back("If-Range", m_validator);
            }
        }
        m_headers = header_list(headers);
        m_easy->setopt(CURLOPT_HTTPHEADER, m_headers.get());
        attach(*m_easy);
    }

    // Called once libcurl reports the attempt done with `code` (the handle out of the session).
    Next finish(CURLcode code, const DownloadHandlers& handlers, std::size_t index) {
        try {
            rethrow_parked();
            return decide(code, handlers, index);
        } catch (const std::exception& e) {
            report(0, e.what(), false);
            drop_bar();
            return {std::nullopt, util::escape_control(e.what())};
        }
    }

    // Waits until `when` before the next attempt.
    void schedule(SteadyClock::time_point when) { m_due = when; }

  private:
    Next decide(CURLcode code, const DownloadHandlers& handlers, std::size_t index) {
        const long status = m_easy->getinfo<long>(CURLINFO_RESPONSE_CODE);
        std::string failure;
        bool transient = false;
        std::optional<std::string> retry_after;
        if (code == CURLE_OPERATION_TIMEDOUT &&
            m_easy->getinfo<curl_off_t>(CURLINFO_PRETRANSFER_TIME_T) > 0) {
            // Connected and asked, so it was the speed limit that ended the attempt.
            failure = "the download was abandoned: slower than " + speed_text() + " for " +
                      std::to_string(m_limits.low_speed_seconds) + " s (" +
                      util::escape_control(util::mask_url_password(m_job.url)) + ")";
            transient = true;
        } else if (code != CURLE_OK) {
            failure = transfer_failure(*m_easy, code, m_job.url);
            transient = is_transient(code);
        } else if (status >= 400) {
            const char* effective = m_easy->getinfo<char*>(CURLINFO_EFFECTIVE_URL);
            m_head.status = status;
            m_head.url = effective != nullptr ? effective : m_job.url;
            m_head.attempts = m_attempt;
            failure = status_error_text(m_head).value_or("");
            transient = is_transient_status(status);
            retry_after = m_head.header("Retry-After");
        } else {
            begin_body();
            if (m_total && m_received < *m_total) {
                failure = "the body ended after " + std::to_string(m_received) + " of " +
                          std::to_string(*m_total) + " bytes (" +
                          util::escape_control(util::mask_url_password(m_job.url)) + ")";
                transient = true;
            }
        }
        const bool again = !failure.empty() && transient && m_attempt <= m_retries;
        report(code == CURLE_OK ? status : 0, code == CURLE_OK ? "" : failure, again);
        if (again) {
            return {m_retry.delay(m_attempt, retry_after), std::nullopt};
        }
        drop_bar();
        if (!failure.empty()) {
            // A status error counts its attempts itself.
            const bool counted = code == CURLE_OK;
            return {std::nullopt,
                    failure + (transient && !counted ? attempts_suffix(m_attempt) : "")};
        }
        return {std::nullopt, consume(handlers, index)};
    }

    [[nodiscard]] std::string speed_text() const {
        const long bytes = m_limits.low_speed_bytes;
        return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB/s"
                                 : std::to_string(bytes) + " bytes/s";
    }

    void drop_bar() {
        if (m_line) {
            m_board.remove(*m_line);
            m_line.reset();
        }
    }

    void header_line(std::string_view line) override { read_header_line(m_head, line); }

    void body(const char* data, std::size_t size) override {
        begin_body();
        m_attempt_bytes += size;
        if (!m_keep) {
            return; // an error page is not worth keeping
        }
        const char* rest = data;
        std::size_t left = size;
        while (left > 0) {
            const ssize_t n = ::write(m_spool.get(), rest, left);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::system_error(
                    errno, std::generic_category(),
                    "Cannot store the download of " +
                        util::escape_control(util::mask_url_password(m_job.url)));
            }
            rest += n;
            left -= static_cast<std::size_t>(n);
        }
        m_received += size;
        m_board.advance(*m_line, size);
    }

    // Decides, once per attempt, what becomes of its body.
    void begin_body() {
        if (m_body_started) {
            return;
        }
        m_body_started = true;
        const long status = m_easy->getinfo<long>(CURLINFO_RESPONSE_CODE);
        m_keep = status < 400;
        if (!m_keep) {
            return;
        }
        if (status == 206) {
            const auto range = parse_content_range(m_head.header("Content-Range").value_or(""));
            if (!range || range->first != m_received) {
                throw HttpError("The server sent a range that does not continue the download (" +
                                util::escape_control(util::mask_url_password(m_job.url)) + ")");
            }
            m_total = range->second ? range->second : m_total;
        } else {
            // A whole body: also what a server that ignores ranges, or whose file changed,
            // sends. The spool starts over.
            if (m_received > 0) {
                restart_spool();
            }
            const auto length = m_easy->getinfo<curl_off_t>(CURLINFO_CONTENT_LENGTH_DOWNLOAD_T);
            m_total =
                length >= 0 ? std::optional(static_cast<std::uint64_t>(length)) : std::nullopt;
            // A weak ETag may not be used in If-Range; the date then serves.
            const auto etag = m_head.header("ETag");
            m_validator = etag && !etag->starts_with("W/")
                              ? *etag
                              : m_head.header("Last-Modified").value_or("");
        }
        if (m_total) {
            m_board.set_total(*m_line, *m_total);
        }
    }

    void restart_spool() {
        if (::ftruncate(m_spool.get(), 0) != 0 || ::lseek(m_spool.get(), 0, SEEK_SET) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "Cannot restart the download of " +
                                        util::escape_control(util::mask_url_password(m_job.url)));
        }
        m_received = 0;
        drop_bar();
        m_line = m_board.add(m_job.label, 0);
    }

    std::optional<std::string> consume(const DownloadHandlers& handlers, std::size_t index) {
        try {
            if (::lseek(m_spool.get(), 0, SEEK_SET) != 0) {
                throw std::system_error(
                    errno, std::generic_category(),
                    "Cannot read back the download of " +
                        util::escape_control(util::mask_url_password(m_job.url)));
            }
            if (handlers.consume) {
                handlers.consume(index, m_spool.get());
            }
            m_spool.reset();
            return std::nullopt;
        } catch (const std::exception& e) {
            m_spool.reset();
            return util::escape_control(e.what());
        }
    }

    void report(long status, const std::string& error, bool will_retry) const {
        m_retry.report(
            {.method = "GET",
             .url = util::escape_control(util::mask_url_password(m_job.url)),
             .number = m_attempt,
             .status = status,
             .error = error,
             .bytes = m_attempt_bytes,
             .elapsed = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - m_started),
             .will_retry = will_retry});
    }

    const DownloadJob& m_job;
    util::ProgressBoard& m_board;
    const RetryPolicy& m_retry;
    const unsigned m_retries;
    const std::string& m_user_agent;
    const TlsTrust& m_trust;
    const DownloadLimits& m_limits;
    // Made for the first attempt, so that downloads waiting their turn hold nothing.
    std::optional<CurlEasy> m_easy;
    CurlSlist m_headers;
    util::UniqueFd m_spool;
    std::optional<util::ProgressBoard::LineId> m_line;
    // The answer of the current attempt.
    HttpResponse m_head;
    bool m_body_started = false;
    bool m_keep = false;
    // Body bytes in the spool, and the whole body's length when known.
    std::uint64_t m_received = 0;
    std::optional<std::uint64_t> m_total;
    // The first answer's ETag or Last-Modified, sent as If-Range with a resumed request.
    std::string m_validator;
    unsigned m_attempt = 0;
    SteadyClock::time_point m_started;
    std::uint64_t m_attempt_bytes = 0;
    // When the next attempt may start: nothing while one runs, the far future once it ended.
    std::optional<SteadyClock::time_point> m_due = SteadyClock::time_point{};
};

} // namespace

std::optional<unsigned> parse_max_downloads(std::string_view text) {
    if (text.empty()) {
        return DEFAULT_MAX_DOWNLOADS;
    }
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || value < 1 || value > MAX_MAX_DOWNLOADS) {
        return std::nullopt;
    }
    return value;
}

void run_downloads(const std::vector<DownloadJob>& jobs,
                   const DownloadHandlers& handlers,
                   const util::ProgressOutput& output,
                   const RetryPolicy& retry,
                   const std::string& user_agent,
                   const TlsTrust& trust,
                   const DownloadLimits& limits) {
    if (jobs.empty()) {
        return;
    }
    const unsigned retries = retry.retry_count();
    const std::size_t max_in_flight = std::clamp(limits.max_in_flight, 1U, MAX_MAX_DOWNLOADS);
    util::ProgressBoard board(output);
    std::vector<std::unique_ptr<Transfer>> transfers;
    transfers.reserve(jobs.size());
    for (const auto& job : jobs) {
        transfers.push_back(
            std::make_unique<Transfer>(job, board, retry, retries, user_agent, trust, limits));
    }
    // Declared after the transfers so that it is cleaned up first, as libcurl requires.
    CurlMulti session;

    std::size_t remaining = transfers.size();
    // Downloads that have started and not ended; each holds a handle and a spool.
    std::size_t in_flight = 0;
    // Downloads before this one have all had their turn.
    std::size_t next_turn = 0;
    const auto end = [&](std::size_t index, const std::optional<std::string>& error) {
        --remaining;
        --in_flight;
        transfers[index]->schedule(SteadyClock::time_point::max());
        transfers[index]->release();
        board.print_above([&] {
            if (handlers.finished) {
                handlers.finished(index, error);
            }
        });
    };
    const auto start = [&](std::size_t index) {
        Transfer& transfer = *transfers[index];
        try {
            transfer.start();
            session.add(transfer.easy());
        } catch (const std::exception& e) {
            end(index, util::escape_control(e.what()));
        }
    };
    while (remaining > 0) {
        auto next_due = SteadyClock::time_point::max();
        for (std::size_t i = 0; i < next_turn; ++i) {
            const auto due = transfers[i]->due();
            if (due && *due <= SteadyClock::now()) {
                start(i);
            } else if (due && *due != SteadyClock::time_point::max()) {
                next_due = std::min(next_due, *due);
            }
        }
        while (in_flight < max_in_flight && next_turn < transfers.size()) {
            ++in_flight;
            start(next_turn++);
        }
        session.perform();
        while (CURLMsg* message = session.info_read()) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            // The message is gone once its handle leaves the session.
            CURL* handle = message->easy_handle;
            const CURLcode code = message->data.result;
            const auto found =
                std::find_if(transfers.begin(), transfers.begin() + next_turn,
                             [handle](const auto& t) { return t->handle() == handle; });
            if (found == transfers.begin() + next_turn) {
                continue;
            }
            Transfer& transfer = **found;
            const auto index = static_cast<std::size_t>(found - transfers.begin());
            session.remove(transfer.easy());
            const Transfer::Next next = transfer.finish(code, handlers, index);
            if (next.wait) {
                transfer.schedule(SteadyClock::now() + *next.wait);
                next_due = std::min(next_due, SteadyClock::now() + *next.wait);
            } else {
                end(index, next.error);
            }
        }
        if (remaining > 0) {
            // A download that ended frees a turn: go round again at once.
            const auto until = in_flight < max_in_flight && next_turn < transfers.size()
                                   ? milliseconds(0)
                                   : std::chrono::ceil<milliseconds>(next_due - SteadyClock::now());
            session.poll(static_cast<int>(std::clamp<milliseconds::rep>(until.count(), 0, 1000)));
        }
    }
}

} // namespace vorpane::net

#include "vorpane/modules/downloader.hpp"

#include "vorpane/util/archive.hpp"
#include "vorpane/util/curl.hpp"
#include "vorpane/util/fd.hpp"
#include "vorpane/util/http.hpp"
#include "vorpane/util/redact.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vorpane::modules {

namespace {

namespace fs = std::filesystem;

using Fd = util::UniqueFd;

// A named file that is unlinked at once, for systems without O_TMPFILE.
int open_unlinked_temporary(const fs::path& dir) {
    std::string pattern = (dir / ".vorpane-download-XXXXXX").string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
        ::unlink(pattern.c_str());
    }
    return fd;
}

// An unnamed file that disappears when closed. It lives beside the target rather than in the
// temporary directory, which is often a RAM-backed file system too small for large archives.
int open_spool(const fs::path& dir) {
#ifdef O_TMPFILE
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
#endif
    int fd_named = open_unlinked_temporary(dir);
    if (fd_named >= 0) {
        return fd_named;
    }
    const int error = errno;
    int fd_tmp = open_unlinked_temporary(fs::temp_directory_path());
    if (fd_tmp >= 0) {
        return fd_tmp;
    }
    throw std::system_error(error, std::generic_category(),
                            "Cannot create a temporary file in " + dir.string());
}

// A URL as messages show it: password masked, control characters escaped.
std::string shown_url(const std::string& url) {
    return util::escape_control(util::mask_url_password(url));
}

bool is_https(std::string_view url) {
    constexpr std::string_view scheme = "https://";
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

std::string status_error_text(long status, const std::string& reason, const std::string& url) {
    util::HttpResponse response;
    response.status = status;
    response.reason =
        reason.empty() ? std::string(util::standard_reason(status)) : util::escape_control(reason);
    response.url = url;
    try {
        util::raise_for_status(response);
    } catch (const util::HttpStatusError& e) {
        return e.what();
    }
    return std::to_string(status) + " Error: " + response.reason + " for url: " + shown_url(url);
}

class Transfer {
  public:
    Transfer(const DownloadJob& job, util::ProgressBoard& board)
        : m_job(job), m_shown_name(util::escape_control(job.name)), m_board(board),
          m_https_only(is_https(job.url)), m_spool(open_spool(spool_directory(job.target))) {
        util::apply_common_options(m_easy, job.user_agent);
        // The archive is compressed already; a decoded body would no longer match the
        // announced length that truncation is judged by.
        m_easy.setopt(CURLOPT_ACCEPT_ENCODING, nullptr);
        m_easy.setopt(CURLOPT_URL, job.url);
        m_easy.setopt(CURLOPT_HTTPGET, 1L);
        m_easy.setopt(CURLOPT_PROTOCOLS_STR, "http,https");
        // An archive asked for over https must not arrive over plain http.
        m_easy.setopt(CURLOPT_REDIR_PROTOCOLS_STR, m_https_only ? "https" : "http,https");
        m_easy.setopt(CURLOPT_FOLLOWLOCATION, 1L);
        m_easy.setopt(CURLOPT_MAXREDIRS, 30L);
        m_easy.setopt(CURLOPT_CONNECTTIMEOUT, 30L);
        m_easy.setopt(CURLOPT_LOW_SPEED_LIMIT, 1L);
        m_easy.setopt(CURLOPT_LOW_SPEED_TIME, 60L);
        // Larger reads mean fewer callbacks and writes for archives of many megabytes.
        m_easy.setopt(CURLOPT_BUFFERSIZE, 256L * 1024L);
        for (const auto& [name, value] : job.headers) {
            if (name.find_first_of("\r\n:") != std::string::npos ||
                value.find_first_of("\r\n") != std::string::npos) {
                throw std::invalid_argument("The request header " + name.substr(0, 40) +
                                            " contains a line break or colon");
            }
            m_headers.append(value.empty() ? name + ";" : name + ": " + value);
        }
        m_easy.setopt(CURLOPT_HTTPHEADER, m_headers.get());
        m_easy.setopt(CURLOPT_WRITEFUNCTION, &Transfer::on_body);
        m_easy.setopt(CURLOPT_WRITEDATA, static_cast<void*>(this));
        m_easy.setopt(CURLOPT_HEADERFUNCTION, &Transfer::on_header);
        m_easy.setopt(CURLOPT_HEADERDATA, static_cast<void*>(this));
        m_line = m_board.add("Downloading examples for " + m_shown_name, 0);
    }
    ~Transfer() { m_board.remove(m_line); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    [[nodiscard]] util::CurlEasy& easy() noexcept { return m_easy; }
    [[nodiscard]] const DownloadJob& job() const noexcept { return m_job; }

    // Called once libcurl reports the transfer done with `code`; returns the status error text
    // when the server refused, nothing when the archive was unpacked.
    std::optional<std::string> complete(CURLcode code) {
        if (m_error) {
            std::rethrow_exception(m_error);
        }
        const char* effective = m_easy.getinfo<char*>(CURLINFO_EFFECTIVE_URL);
        const std::string url = effective != nullptr ? effective : m_job.url;
        if (code == CURLE_UNSUPPORTED_PROTOCOL && m_https_only && !is_https(url)) {
            throw util::HttpError("Refusing to follow the redirect of the download of " +
                                  m_shown_name + " away from https (" + shown_url(url) + ")");
        }
        if (code != CURLE_OK) {
            throw util::HttpError(util::escape_control(m_easy.error_text(code)) + " (" +
                                  shown_url(url) + ")");
        }
        m_board.remove(m_line);
        const long status = m_easy.getinfo<long>(CURLINFO_RESPONSE_CODE);
        if (status >= 400) {
            return status_error_text(status, m_reason, url);
        }
        const auto expected = m_easy.getinfo<curl_off_t>(CURLINFO_CONTENT_LENGTH_DOWNLOAD_T);
        if (expected >= 0 && m_received != static_cast<std::uint64_t>(expected)) {
            throw util::HttpError("The download of " + m_shown_name + " ended after " +
                                  std::to_string(m_received) + " of " + std::to_string(expected) +
                                  " bytes (" + shown_url(url) + ")");
        }
        if (::lseek(m_spool.get(), 0, SEEK_SET) != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "Cannot read back the download of " + m_shown_name);
        }
        util::extract_tar_gz_safely(m_spool.get(), m_job.target, m_job.name,
                                    m_job.max_unpack_bytes);
        m_spool.reset();
        return std::nullopt;
    }

  private:
    static fs::path spool_directory(const fs::path& target) {
        fs::path dir = target.parent_path();
        if (dir.empty()) {
            dir = ".";
        }
        fs::create_directories(dir);
        return dir;
    }

    // libcurl calls these from inside curl_multi_perform: an exception must not unwind through
    // C, so it is parked here and a short count makes libcurl stop this transfer.
    static size_t on_body(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        try {
            return self->store(data, size * count);
        } catch (...) {
            self->m_error = std::current_exception();
            return 0;
        }
    }

    static size_t on_header(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        try {
            self->read_status_line(std::string_view(data, size * count));
            return size * count;
        } catch (...) {
            self->m_error = std::current_exception();
            return 0;
        }
    }

    void read_status_line(std::string_view line) {
        if (!line.starts_with("HTTP/")) {
            return;
        }
        // "HTTP/1.1 404 Not Found\r\n"; each answer of a redirect chain starts anew.
        m_reason.clear();
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.remove_suffix(1);
        }
        const auto first = line.find(' ');
        const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second != std::string_view::npos) {
            m_reason = std::string(line.substr(second + 1));
        }
    }

    size_t store(const char* data, size_t size) {
        if (!m_status) {
            m_status = m_easy.getinfo<long>(CURLINFO_RESPONSE_CODE);
            const auto length = m_easy.getinfo<curl_off_t>(CURLINFO_CONTENT_LENGTH_DOWNLOAD_T);
            if (*m_status < 400 && length > 0) {
                m_board.set_total(m_line, static_cast<std::uint64_t>(length));
            }
        }
        if (*m_status >= 400) {
            return size; // an error page is not worth keeping
        }
        const char* rest = data;
        size_t left = size;
        while (left > 0) {
            ssize_t n = ::write(m_spool.get(), rest, left);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw std::system_error(errno, std::generic_category(),
                                        "Cannot store the download of " + m_shown_name);
            }
            rest += n;
            left -= static_cast<size_t>(n);
        }
        m_received += size;
        m_board.advance(m_line, size);
        return size;
    }

    const DownloadJob& m_job;
    const std::string m_shown_name;
    util::ProgressBoard& m_board;
    const bool m_https_only;
    util::CurlEasy m_easy;
    util::CurlSlist m_headers;
    Fd m_spool;
    util::ProgressBoard::LineId m_line = 0;
    std::uint64_t m_received = 0;
    std::optional<long> m_status;
    std::string m_reason;
    std::exception_ptr m_error;
};

} // namespace

void run_downloads(const std::vector<DownloadJob>& jobs,
                   const DownloadFinished& on_finished,
                   util::ProgressOutput output) {
    if (jobs.empty()) {
        return;
    }
    util::ProgressBoard board(std::move(output));
    std::vector<std::unique_ptr<Transfer>> transfers;
    transfers.reserve(jobs.size());
    for (const auto& job : jobs) {
        transfers.push_back(std::make_unique<Transfer>(job, board));
    }
    // Declared after the transfers so that it is cleaned up first, as libcurl requires.
    util::CurlMulti session;
    for (auto& transfer : transfers) {
        session.add(transfer->easy());
    }

    size_t remaining = transfers.size();
    while (remaining > 0) {
        session.perform();
        while (CURLMsg* message = session.info_read()) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            // The message is gone once its handle leaves the session.
            CURL* handle = message->easy_handle;
            const CURLcode code = message->data.result;
            auto found = std::find_if(transfers.begin(), transfers.end(), [handle](const auto& t) {
                return t->easy().get() == handle;
            });
            if (found == transfers.end()) {
                continue;
            }
            Transfer& transfer = **found;
            session.remove(transfer.easy());
            --remaining;
            std::optional<std::string> error_text = transfer.complete(code);
            board.print_above([&] { on_finished(transfer.job(), error_text); });
        }
        if (remaining > 0) {
            session.poll(1000);
        }
    }
}

} // namespace vorpane::modules

#include "vorpane/modules/downloader.hpp"
#include "vorpane/util/archive.hpp"
#include "vorpane/util/http.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/temp_home.hpp"

extern char** environ;

namespace vorpane::modules {
namespace {

namespace fs = std::filesystem;

// Serves generated archives by path: /ok/NAME.tar.gz, /gate/NAME.tar.gz (held until as many
// gated requests as the first argument are in flight together; 503 if they never are),
// /missing/... (404), /truncated/... (half the announced body), /evil/... (a member "../evil"),
// /big/... (3 MB of incompressible data). Each request is logged with its Authorization header.
constexpr const char* server_script = R"py(
import http.server, io, os, sys, tarfile, threading

gate = threading.Barrier(int(sys.argv[1]), timeout=30)
log_path = sys.argv[2]
lock = threading.Lock()

def archive(members):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buffer.getvalue()

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        parts = self.path.strip("/").split("/")
        kind, name = parts[0], parts[-1].removesuffix(".tar.gz")
        with lock, open(log_path, "a") as log:
            log.write(f"{kind} {name} {self.headers.get('Authorization', '-')}\n")
        if kind == "missing":
            return self.reply(404, b"no such archive")
        if kind == "gate":
            try:
                gate.wait()
            except threading.BrokenBarrierError:
                return self.reply(503, b"the downloads did not overlap")
        body = archive([(name + "/readme.txt", ("hello " + name).encode())])
        if kind == "evil":
            body = archive([("../evil", b"x")])
        if kind == "big":
            body = archive([("big.bin", os.urandom(3_000_000))])
        if kind == "truncated":
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.reply(200, body)

    def reply(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)py";

class ArchiveServer {
  public:
    ArchiveServer(const fs::path& dir, int gated) : m_log(dir / "requests.log") {
        const fs::path script = dir / "server.py";
        test::write_file(script, server_script);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<std::string> args = {VORPANE_PY311, script.string(), std::to_string(gated),
                                         m_log.string()};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        std::string port;
        char c = 0;
        while (rc == 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            port += c;
        }
        ::close(fds[0]);
        if (rc != 0 || port.empty()) {
            throw std::runtime_error("the test server did not start");
        }
        m_base = "http://127.0.0.1:" + port;
    }
    ~ArchiveServer() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    ArchiveServer(const ArchiveServer&) = delete;
    ArchiveServer& operator=(const ArchiveServer&) = delete;

    [[nodiscard]] std::string url(const std::string& path) const { return m_base + path; }
    [[nodiscard]] std::string log() const { return test::read_file(m_log); }

  private:
    fs::path m_log;
    pid_t m_pid = 0;
    std::string m_base;
};

struct Finished {
    std::string name;
    std::optional<std::string> error;
};

class Downloader : public ::testing::Test {
  protected:
    [[nodiscard]] fs::path downloads() const { return m_tmp.path() / "downloads"; }

    DownloadJob job(const ArchiveServer& server, const std::string& kind, const std::string& name) {
        return DownloadJob{name,
                           server.url("/" + kind + "/" + name + ".tar.gz"),
                           {{"Accept", "application/json"}, {"Authorization", "Bearer secret"}},
                           downloads() / name};
    }

    std::vector<Finished> run(const std::vector<DownloadJob>& jobs,
                              util::ProgressOutput output = quiet()) {
        std::vector<Finished> finished;
        run_downloads(
            jobs,
            [&](const DownloadJob& done, const std::optional<std::string>& error) {
                finished.push_back({done.name, error});
            },
            std::move(output));
        return finished;
    }

    static util::ProgressOutput quiet() {
        util::ProgressOutput output;
        output.write = [](std::string_view) { ADD_FAILURE() << "wrote to a non-terminal"; };
        return output;
    }

    test::TempDir m_tmp;
};

TEST_F(Downloader, ThreeDownloadsRunTogetherAndUnpack) {
    ArchiveServer server(m_tmp.path(), 3);
    auto finished = run(
        {job(server, "gate", "alpha"), job(server, "gate", "beta"), job(server, "gate", "gamma")});
    ASSERT_EQ(finished.size(), 3U);
    std::vector<std::string> names;
    for (const auto& f : finished) {
        EXPECT_EQ(f.error, std::nullopt) << f.name << ": " << *f.error;
        names.push_back(f.name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "gamma"}));
    for (const auto& name : names) {
        EXPECT_EQ(test::read_file(downloads() / name / name / "readme.txt"), "hello " + name);
    }
    EXPECT_NE(server.log().find("gate alpha Bearer secret\n"), std::string::npos) << server.log();
    // Spooled bodies leave nothing behind beside the targets.
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(downloads())) {
        entries.push_back(entry.path().filename().string());
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, names);
}

TEST_F(Downloader, OneNotFoundAmongThreeIsReportedAndTheOthersGoOn) {
    ArchiveServer server(m_tmp.path(), 2);
    auto finished = run({job(server, "gate", "alpha"), job(server, "missing", "beta"),
                         job(server, "gate", "gamma")});
    ASSERT_EQ(finished.size(), 3U);
    std::map<std::string, std::optional<std::string>> by_name;
    for (const auto& f : finished) {
        by_name[f.name] = f.error;
    }
    EXPECT_EQ(by_name["beta"],
              "404 Client Error: Not Found for url: " + server.url("/missing/beta.tar.gz"));
    EXPECT_EQ(by_name["alpha"], std::nullopt);
    EXPECT_EQ(by_name["gamma"], std::nullopt);
    EXPECT_FALSE(fs::exists(downloads() / "beta"));
    EXPECT_TRUE(fs::exists(downloads() / "gamma" / "gamma" / "readme.txt"));
}

TEST_F(Downloader, TruncatedBodyEndsEverything) {
    ArchiveServer server(m_tmp.path(), 1);
    try {
        run({job(server, "truncated", "alpha")});
        ADD_FAILURE() << "a truncated body was accepted";
    } catch (const util::HttpError& e) {
        std::string what = e.what();
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        EXPECT_NE(what.find(server.url("/truncated/alpha.tar.gz")), std::string::npos) << what;
        EXPECT_EQ(what.find("secret"), std::string::npos) << what;
    }
    EXPECT_FALSE(fs::exists(downloads() / "alpha" / "alpha" / "readme.txt"));
}

TEST_F(Downloader, RefusedMemberEndsEverythingAndNothingEscapes) {
    ArchiveServer server(m_tmp.path(), 1);
    EXPECT_THROW(run({job(server, "evil", "alpha")}), util::ArchiveMemberRefused);
    EXPECT_FALSE(fs::exists(downloads() / "evil"));
    EXPECT_FALSE(fs::exists(m_tmp.path() / "evil"));
}

TEST_F(Downloader, ConnectionFailureIsAnHttpError) {
    std::string url;
    {
        ArchiveServer server(m_tmp.path(), 1);
        url = server.url("/ok/alpha.tar.gz");
    }
    DownloadJob gone{"alpha", url, {}, downloads() / "alpha"};
    EXPECT_THROW(run({gone}), util::HttpError);
}

TEST_F(Downloader, BarsAreDrawnOnATerminalAndClearedBeforeEachReport) {
    ArchiveServer server(m_tmp.path(), 1);
    std::string screen;
    util::ProgressOutput output;
    output.write = [&](std::string_view text) { screen += text; };
    output.is_terminal = true;
    output.columns = 120;
    std::vector<std::string> screen_at_report;
    run_downloads(
        {job(server, "big", "alpha")},
        [&](const DownloadJob&, const std::optional<std::string>&) {
            screen_at_report.push_back(screen);
        },
        output);
    EXPECT_NE(screen.find("Downloading examples for alpha"), std::string::npos);
    ASSERT_EQ(screen_at_report.size(), 1U);
    // Nothing of the bar is left on screen when the report line is written.
    const std::string& before = screen_at_report.front();
    EXPECT_EQ(before.substr(before.rfind('\x1b')), "\x1b[J");
    EXPECT_EQ(screen, before);
    EXPECT_TRUE(fs::exists(downloads() / "alpha" / "big.bin"));
}

TEST_F(Downloader, NoJobsMeansNoWork) {
    EXPECT_TRUE(run({}).empty());
}

} // namespace
} // namespace vorpane::modules

#include "vorpane/util/process.hpp"

#include "vorpane/util/fd.hpp"
#include "vorpane/util/signals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string_view>
#include <system_error>

namespace vorpane::util {

namespace fs = std::filesystem;

namespace {

using Fd = UniqueFd;

struct Pipe {
    Fd read;
    Fd write;
};

void open_pipe(Pipe& p) {
    std::array<int, 2> fds{};
    // Close-on-exec, so that no other child inherits the ends by accident.
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw_errno(errno, "cannot create a pipe");
    }
    p.read.reset(fds[0]);
    p.write.reset(fds[1]);
}

class FileActions {
  public:
    FileActions() {
        if (int rc = ::posix_spawn_file_actions_init(&m_actions); rc != 0) {
            throw_errno(rc, "posix_spawn_file_actions_init");
        }
    }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    void dup2(int fd, int target) {
        check(::posix_spawn_file_actions_adddup2(&m_actions, fd, target));
    }
    void open(int target, const char* path, int flags) {
        check(::posix_spawn_file_actions_addopen(&m_actions, target, path, flags, 0));
    }
    void chdir(const fs::path& dir) {
        check(::posix_spawn_file_actions_addchdir_np(&m_actions, dir.c_str()));
    }
    [[nodiscard]] const posix_spawn_file_actions_t* get() const noexcept { return &m_actions; }

  private:
    static void check(int rc) {
        if (rc != 0) {
            throw_errno(rc, "posix_spawn file action");
        }
    }
    posix_spawn_file_actions_t m_actions{};
};

class SpawnAttr {
  public:
    SpawnAttr() {
        if (int rc = ::posix_spawnattr_init(&m_attr); rc != 0) {
            throw_errno(rc, "posix_spawnattr_init");
        }
        // The child starts with default dispositions and nothing blocked: an ignored SIGPIPE
        // would otherwise survive exec and change how the child handles closed pipes. What the
        // tool's own starter chose to ignore (nohup) stays ignored.
        sigset_t defaults;
        ::sigemptyset(&defaults);
        ::sigaddset(&defaults, SIGPIPE);
        ::sigaddset(&defaults, SIGINT);
        for (int signo : SHUTDOWN_SIGNALS) {
            struct sigaction current {};
            if (::sigaction(signo, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
                ::sigaddset(&defaults, signo);
            }
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&m_attr, &defaults);
        ::posix_spawnattr_setsigmask(&m_attr, &none);
        // A group of its own, so that the shutdown path can end the child and all it started;
        // the terminal's SIGINT then reaches only the tool, which passes it on.
        ::posix_spawnattr_setpgroup(&m_attr, 0);
        ::posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnAttr() { ::posix_spawnattr_destroy(&m_attr); }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    [[nodiscard]] const posix_spawnattr_t* get() const noexcept { return &m_attr; }

  private:
    posix_spawnattr_t m_attr{};
};

// Waits for the child even when the caller leaves early through an exception, so that no
// zombie is left behind. Its group is tracked for the shutdown path until the child has ended,
// and forgotten before it is reaped, while its number still cannot name another process.
class Child {
  public:
    explicit Child(pid_t pid) : m_pid(pid), m_group(pid) {}
    ~Child() {
        if (m_pid > 0) {
            int status = 0;
            wait_for_end();
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int wait() {
        wait_for_end();
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0) {
            if (errno != EINTR) {
                throw_errno(errno, "waitpid");
            }
        }
        m_pid = -1;
        if (WIFSIGNALED(status)) {
            return -WTERMSIG(status);
        }
        return WEXITSTATUS(status);
    }

  private:
    // Waits until the child has ended, leaving it to be reaped, then stops tracking it.
    void wait_for_end() noexcept {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        m_group.forget();
    }

    pid_t m_pid;
    TrackedChildGroup m_group;
};

// Reads both streams to their end while feeding `input` to the child, which gets end of file
// once it is written. False when `deadline` passed first.
bool drain(Pipe& out,
           Pipe& err,
           Pipe& in,
           std::string_view input,
           std::string& out_text,
           std::string& err_text,
           std::size_t limit,
           std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::array<pollfd, 3> fds{{{out.read.get(), POLLIN, 0},
                               {err.read.get(), POLLIN, 0},
                               {in.write ? in.write.get() : -1, POLLOUT, 0}}};
    std::array<std::string*, 2> sinks{&out_text, &err_text};
    std::array<char, 65536> buffer{};
    int open_count = 2;
    while (open_count > 0) {
        int wait = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            wait = static_cast<int>(left.count());
        }
        if (::poll(fds.data(), fds.size(), wait) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_errno(errno, "poll");
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const ssize_t n = (fds[2].revents & POLLOUT) != 0
                                  ? ::write(fds[2].fd, input.data(), input.size())
                                  : -1;
            if (n > 0) {
                input.remove_prefix(static_cast<size_t>(n));
            }
            // Written, or a reader that went away (EPIPE): either way the child reads no more.
            if (input.empty() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                in.write.reset();
                fds[2].fd = -1;
            }
        }
        for (size_t i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n > 0) {
                const size_t keep = limit == 0
                                        ? static_cast<size_t>(n)
                                        : std::min(static_cast<size_t>(n),
                                                   limit - std::min(limit, sinks[i]->size()));
                sinks[i]->append(buffer.data(), keep);
            } else if (n == 0 || errno != EINTR) {
                // End of stream (or an unreadable pipe): stop watching it.
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    return true;
}

std::vector<std::string> make_env_block(const std::map<std::string, std::string>& env) {
    std::vector<std::string> block;
    block.reserve(env.size());
    for (const auto& [name, value] : env) {
        block.push_back(name + "=" + value);
    }
    return block;
}

std::vector<char*> c_pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string resolve_program(const std::string& program,
                            const std::map<std::string, std::string>& env) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    auto path = env.find("PATH");
    std::string path_value = path != env.end() ? path->second : "/usr/local/bin:/usr/bin:/bin";
    if (auto found = find_executable(program, path_value)) {
        return found->string();
    }
    throw SpawnError(program, ENOENT);
}

} // namespace

SpawnError::SpawnError(const std::string& program, int code)
    : std::runtime_error("cannot run " + program + ": " + std::strerror(code)), m_code(code) {}

ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env,
                          const ProcessOptions& options) {
    if (argv.empty()) {
        throw std::invalid_argument("run_process: empty argument list");
    }
    std::string program = resolve_program(argv.front(), env);

    FileActions actions;
    Pipe out;
    Pipe err;
    Pipe in;
    if (options.input) {
        open_pipe(in);
        // Never blocks the tool: a child that does not read is ended by its deadline.
        ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
        actions.dup2(in.read.get(), STDIN_FILENO);
    }
    if (options.capture) {
        open_pipe(out);
        open_pipe(err);
        actions.dup2(out.write.get(), STDOUT_FILENO);
        actions.dup2(err.write.get(), STDERR_FILENO);
    } else if (options.discard) {
        actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
        actions.dup2(STDOUT_FILENO, STDERR_FILENO);
    }
    if (options.cwd) {
        actions.chdir(*options.cwd);
    }
    SpawnAttr attr;

    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers = c_pointers(args);
    std::vector<std::string> env_block = make_env_block(env);
    std::vector<char*> env_pointers = c_pointers(env_block);

    ProcessResult result;
    {
        ChildRunningGuard running;
        pid_t pid = 0;
        std::optional<Child> started;
        {
            // A signal between the start and the tracking would leave the child behind.
            const DeferSignals starting;
            int rc = ::posix_spawn(&pid, program.c_str(), actions.get(), attr.get(),
                                   arg_pointers.data(), env_pointers.data());
            if (rc != 0) {
                throw SpawnError(program, rc);
            }
            started.emplace(pid);
        }
        Child& child = *started;
        in.read.reset();
        if (options.capture) {
            // Our copies of the write ends must go, or the reads never see end of stream.
            out.write.reset();
            err.write.reset();
            result.out.emplace();
            result.err.emplace();
            std::optional<std::chrono::steady_clock::time_point> deadline;
            if (options.timeout) {
                deadline = std::chrono::steady_clock::now() + *options.timeout;
            }
            try {
                if (!drain(out, err, in, options.input.value_or(""), *result.out, *result.err,
                           options.output_limit, deadline)) {
                    // The child and everything it started go; what they printed is not kept.
                    result.timed_out = true;
                    ::kill(-pid, SIGKILL);
                    out.read.reset();
                    err.read.reset();
                }
            } catch (...) {
                // Closing our ends lets a child blocked on a full pipe finish, so the wait
                // in Child's destructor cannot hang.
                out.read.reset();
                err.read.reset();
                throw;
            }
        }
        result.returncode = child.wait();
        if (running.release()) {
            // What the child started and left behind goes with the run: a background job of a
            // shell script, for one, ignores SIGINT.
            end_process_group(pid, SIGTERM);
            throw Interrupted();
        }
    }
    return result;
}

bool is_executable_file(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::optional<fs::path> find_executable(const std::string& name, const std::string& path_value) {
    size_t start = 0;
    while (start <= path_value.size()) {
        size_t end = path_value.find(':', start);
        if (end == std::string::npos) {
            end = path_value.size();
        }
        std::string dir = path_value.substr(start, end - start);
        fs::path candidate = (dir.empty() ? fs::path(".") : fs::path(dir)) / name;
        if (is_executable_file(candidate)) {
            return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace vorpane::util

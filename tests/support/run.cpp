#include "support/run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace vorpane::test {

namespace {

std::vector<char*> c_strings(std::vector<std::string>& items) {
    std::vector<char*> out;
    for (auto& s : items) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

[[noreturn]] void exec_child(std::vector<std::string> argv,
                             const std::map<std::string, std::string>& env,
                             const std::optional<std::filesystem::path>& cwd) {
    std::vector<std::string> env_items;
    for (const auto& [k, v] : env) {
        env_items.push_back(k + "=" + v);
    }
    if (cwd && ::chdir(cwd->c_str()) != 0) {
        ::_exit(126);
    }
    auto args = c_strings(argv);
    auto envp = c_strings(env_items);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

int wait_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads every descriptor in `fds` into its sink until all are closed, killing `pid` at the
// deadline.
void drain(std::vector<pollfd> fds,
           const std::vector<std::string*>& sinks,
           pid_t pid,
           std::chrono::steady_clock::time_point deadline) {
    char buffer[65536];
    for (std::size_t open_count = fds.size(); open_count > 0;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_count;
                } else {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                }
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            ::close(f.fd);
        }
    }
}

} // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    ::signal(SIGPIPE, SIG_IGN);
    // Without a pty: pipes for standard input, output and error (read end, write end each).
    std::array<int, 6> p{};
    int master = -1;
    const bool piped = !options.pty;
    if (piped && (::pipe2(&p[0], O_CLOEXEC) != 0 || ::pipe2(&p[2], O_CLOEXEC) != 0 ||
                  ::pipe2(&p[4], O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = piped ? ::fork() : ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    if (pid == 0) {
        if (piped) {
            ::dup2(p[0], 0);
            ::dup2(p[3], 1);
            ::dup2(p[5], 2);
        }
        int unread[2];
        if (piped && options.out == OutputEnd::closed) {
            ::close(1);
        } else if (piped && options.out == OutputEnd::full_device) {
            ::dup2(::open("/dev/full", O_WRONLY), 1);
        } else if (piped && options.out == OutputEnd::broken_pipe && ::pipe(unread) == 0) {
            ::close(unread[0]);
            ::dup2(unread[1], 1);
        }
        exec_child(argv, options.env, options.cwd);
    }
    for (const int end : {p[0], p[3], p[5]}) {
        if (piped) {
            ::close(end); // the child's ends
        }
    }
    if (options.input) {
        (void)!::write(piped ? p[1] : master, options.input->data(), options.input->size());
    }
    if (piped) {
        ::close(p[1]);
        drain({{p[2], POLLIN, 0}, {p[4], POLLIN, 0}}, {&result.out, &result.err}, pid, deadline);
    } else {
        drain({{master, POLLIN, 0}}, {&result.out}, pid, deadline);
    }
    result.status = wait_status(pid);
    return result;
}

pid_t start_program(const std::vector<std::string>& argv,
                    const std::map<std::string, std::string>& env,
                    const std::filesystem::path& stem) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int flags = O_WRONLY | O_CREAT | O_TRUNC;
        if (::dup2(::open("/dev/null", O_RDONLY), 0) < 0 ||
            ::dup2(::open((stem.string() + ".out").c_str(), flags, 0600), 1) < 0 ||
            ::dup2(::open((stem.string() + ".err").c_str(), flags, 0600), 2) < 0) {
            ::_exit(126);
        }
        exec_child(argv, env, std::nullopt);
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    return pid;
}

int wait_program(pid_t pid) {
    return wait_status(pid);
}

} // namespace vorpane::test

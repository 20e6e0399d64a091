#include "support/run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

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

} // namespace

std::map<std::string, std::string> current_env() {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) {
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    return env;
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    if (options.pty) {
        int master = -1;
        pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (pid < 0) {
            throw std::runtime_error("forkpty failed");
        }
        if (pid == 0) {
            exec_child(argv, options.env, options.cwd);
        }
        if (options.input) {
            (void)!::write(master, options.input->data(), options.input->size());
        }
        char buffer[4096];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            int timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline - std::chrono::steady_clock::now())
                                               .count());
            if (timeout <= 0) {
                ::kill(pid, SIGKILL);
                break;
            }
            if (::poll(&p, 1, timeout) <= 0) {
                continue;
            }
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            result.out.append(buffer, static_cast<size_t>(n));
        }
        ::close(master);
        result.status = wait_status(pid);
        return result;
    }

    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
        ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        exec_child(argv, options.env, options.cwd);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::signal(SIGPIPE, SIG_IGN);
    if (options.input) {
        (void)!::write(in_pipe[1], options.input->data(), options.input->size());
    }
    ::close(in_pipe[1]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buffer[65536];
    while (open_count > 0) {
        int timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now())
                                           .count());
        if (timeout <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
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
    result.status = wait_status(pid);
    return result;
}

} // namespace vorpane::test

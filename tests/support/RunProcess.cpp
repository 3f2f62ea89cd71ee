#include "tests/support/RunProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace test_support {
namespace {

void Pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    int out[2], err[2], in[2];
    Pipe(out);
    Pipe(err);
    Pipe(in);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [key, value] : options.env) {
            replaced = replaced || key == name;
        }
        for (const auto& key : options.unsetEnv) {
            replaced = replaced || key == name;
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    for (const auto& [key, value] : options.env) {
        env.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        if (options.closeStderr) {
            ::close(STDERR_FILENO);
        } else {
            ::dup2(err[1], STDERR_FILENO);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    // Standard input is small; a program that never reads it must not block us.
    ::signal(SIGPIPE, SIG_IGN);
    if (!options.input.empty()) {
        [[maybe_unused]] ssize_t written = ::write(in[1], options.input.data(), options.input.size());
    }
    ::close(in[1]);

    ProcessResult result;
    const auto start = std::chrono::steady_clock::now();
    bool killed = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        int timeout = -1;
        if (options.killAfter && !killed) {
            const auto left = *options.killAfter - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       std::chrono::steady_clock::now() - start);
            if (left.count() <= 0) {
                ::kill(pid, SIGKILL);
                killed = true;
            } else {
                timeout = static_cast<int>(left.count());
            }
        }
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace test_support

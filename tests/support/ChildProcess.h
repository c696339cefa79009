#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tavelcast::testing {

// A program started for a test. Its standard output and error go to a pipe that the test
// drains; the pipe closing tells the test the program has ended, without polling.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnvironment = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStrings) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> envStrings(extraEnvironment);
        for (char** e = environ; *e != nullptr; ++e) {
            envStrings.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : envStrings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        const int rc = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(),
                                     envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        m_out = fds[0];
        if (rc != 0) {
            ::close(m_out);
            throw std::runtime_error("cannot start " + program);
        }
    }

    ~ChildProcess() {
        if (!m_exitStatus) {
            ::kill(m_pid, SIGKILL);
            waitExit(std::chrono::seconds(10));
        }
        ::close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    void signal(int sig) { ::kill(m_pid, sig); }

    // Waits until the program has ended; returns its wait status, or nothing on timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_outClosed) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd pfd{m_out, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0) {
                m_outClosed = true;
            } else {
                m_output.append(chunk, static_cast<std::size_t>(n));
            }
        }
        int status = 0;
        if (::waitpid(m_pid, &status, 0) == m_pid) {
            m_exitStatus = status;
        }
        return m_exitStatus;
    }

    const std::string& output() const { return m_output; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_outClosed = false;
    std::string m_output;
    std::optional<int> m_exitStatus;
};

} // namespace tavelcast::testing

#include "ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX global

namespace metro::testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnvironment,
                           const std::filesystem::path& output) {
    // posix_spawnp reads the strings and does not change them. The given environment entries
    // come before this process's own: getenv and setenv use the first of a name.
    const auto pointerTo = [](const std::string& text) { return const_cast<char*>(text.c_str()); };
    std::vector<char*> argp;
    std::ranges::transform(argv, std::back_inserter(argp), pointerTo);
    argp.push_back(nullptr);
    std::vector<char*> envp;
    std::ranges::transform(extraEnvironment, std::back_inserter(envp), pointerTo);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int error = posix_spawnp(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(error));
    }
}

int ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_pid > 0) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) {
            m_status = done == m_pid ? status : -1;
            m_pid = -1;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return m_status;
}

void ChildProcess::stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        if (waitFor(std::chrono::milliseconds(3000)) == -1 && m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitFor(std::chrono::milliseconds(10000));
        }
    }
}

BusyLoops::BusyLoops(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        m_loops.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c", "while :; do :; done"}, std::vector<std::string>{},
            "/dev/null"));
    }
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& extraEnvironment,
               const std::filesystem::path& output, std::chrono::milliseconds timeout) {
    ChildProcess child(argv, extraEnvironment, output);
    const int status = child.waitFor(timeout);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace metro::testsupport

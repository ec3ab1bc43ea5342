#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX global

namespace metro::testsupport {

namespace {

/// This process's environment with the given "NAME=value" entries replacing or adding to it.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const auto& item : extra) {
            replaced = replaced || item.starts_with(name);
        }
        if (!replaced) {
            merged.push_back(text);
        }
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnvironment,
                           const std::filesystem::path& output,
                           const std::filesystem::path& errors) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(extraEnvironment);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (errors.empty()) {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int error = posix_spawnp(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::running() {
    return waitFor(std::chrono::milliseconds(0)) == -1;
}

int ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) {
        return m_status;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || (done < 0 && errno != EINTR)) {
            m_status = done == m_pid ? status : -1;
            m_pid = -1;
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (m_pid <= 0) {
        return m_status;
    }
    kill(m_pid, SIGTERM);
    if (waitFor(grace) != -1 || m_pid <= 0) {
        return m_status;
    }
    kill(m_pid, SIGKILL);
    return waitFor(std::chrono::milliseconds(10000));
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& extraEnvironment,
               const std::filesystem::path& output, std::chrono::milliseconds timeout) {
    ChildProcess child(argv, extraEnvironment, output);
    int status = child.waitFor(timeout);
    if (status == -1) {
        child.stop();
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace metro::testsupport

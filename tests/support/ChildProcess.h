#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace metro::testsupport {

/// A program started by a test, stopped and reaped by it (SIGTERM, then SIGKILL).
/// Not thread-safe: one owner thread.
class ChildProcess {
public:
    /// Starts argv[0] (searched on PATH) with `extraEnvironment` ("NAME=value") added to this
    /// process's environment, and its stdout and stderr written to `output`. Throws
    /// std::runtime_error when it cannot be started.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::vector<std::string>& extraEnvironment,
                 const std::filesystem::path& output);
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    /// Waits up to `timeout` for the program to exit; its wait status, or -1 if still running.
    int waitFor(std::chrono::milliseconds timeout);
    /// SIGTERM, up to 3 s to exit, then SIGKILL and a wait for the exit.
    void stop();

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

/// Busy-loop processes at normal priority, as many as asked, keeping that many cores saturated
/// until this goes. One owner thread.
class BusyLoops {
public:
    explicit BusyLoops(unsigned count);

private:
    std::vector<std::unique_ptr<ChildProcess>> m_loops;
};

/// Runs a program to its end (at most `timeout`, then it is killed) and returns its exit code,
/// or -1 when it did not exit normally.
int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& extraEnvironment,
               const std::filesystem::path& output,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

} // namespace metro::testsupport

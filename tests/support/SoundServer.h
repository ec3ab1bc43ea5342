#pragma once

#include "ChildProcess.h"

#include <chrono>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace metro::testsupport {

/// A sound server could not be started here at all (not installed, or refused to run).
class ServerUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A sound server started privately for one test, in its own runtime folder under /tmp, with a
/// null sink "out" as its default sink that PulseAudio clients (pactl, parec) reach. The
/// constructor starts it; the destructor stops everything it started and removes the folder,
/// so tests running side by side never share a server. One owner thread.
class SoundServer {
public:
    virtual ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    int sinkRate() const { return m_sinkRate; }
    const std::filesystem::path& runtimeDir() const { return m_dir; }
    /// The variables ("NAME=value") a PulseAudio client of this server needs.
    virtual std::vector<std::string> clientEnvironment() const = 0;
    /// Points this process's SDL at the server, through the driver the server was made for.
    /// Call before the device opens, while no other thread reads the environment.
    void exportToThisProcess() const;
    /// How many times so far a playback stream ran dry (the client was too late with its
    /// samples, so the sink played silence and everything after it came later).
    virtual std::size_t underruns() const = 0;
    /// Freezes the server's sound (SIGSTOP), as a machine too busy to run it does; thaw()
    /// lets it go on.
    void freeze() const { signalSound(SIGSTOP); }
    void thaw() const { signalSound(SIGCONT); }

    /// Runs pactl against the server; its exit status, and what it printed in `printed`.
    int pactl(const std::vector<std::string>& arguments, std::string* printed = nullptr) const;
    /// Adds a null sink `name` at the server's rate, as plugging in headphones adds a device.
    void addSink(const std::string& name) const;

protected:
    /// Makes a fresh runtime folder /tmp/PREFIX-XXXXXX with mode 700, as the servers ask of it,
    /// removed with everything in it when the server goes. Throws ServerUnavailable.
    SoundServer(const std::string& prefix, int sinkRate);
    /// The SDL audio driver that reaches the server.
    virtual const char* sdlDriver() const = 0;
    /// The process that plays the sound, or nullptr while none runs.
    virtual const ChildProcess* soundProcess() const = 0;
    /// Starts a daemon, its output in the runtime folder's `log`, under setpriv with a death
    /// signal: it ends with this process even if this one dies without its destructors (a
    /// crash, a sanitizer's abort). Throws ServerUnavailable when it cannot be started.
    std::unique_ptr<ChildProcess> startDaemon(std::vector<std::string> argv,
                                              const std::vector<std::string>& environment,
                                              const std::string& log,
                                              const std::string& deathSignal) const;

private:
    void signalSound(int signal) const;

    int m_sinkRate;
    std::filesystem::path m_dir;
};

/// Polls `done` every 20 ms for up to 15 s; throws `Error` (naming `what`) when `failed` says
/// so or the time is up.
template <typename Error, typename Done, typename Failed>
void PollUntil(Done done, Failed failed, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done()) {
        if (failed()) {
            throw Error(what + ": it exited");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw Error(what + ": timed out");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

/// Reads a whole text file ("" when it cannot be read); at most its last `limit` characters.
std::string ReadTail(const std::filesystem::path& file, std::size_t limit);

/// How many lines of a text file hold `needle` (a server's log lines of one kind).
std::size_t CountLinesWith(const std::filesystem::path& file, std::string_view needle);

} // namespace metro::testsupport

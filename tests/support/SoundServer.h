#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
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
    virtual ~SoundServer() = default;

    virtual int sinkRate() const = 0;
    virtual const std::filesystem::path& runtimeDir() const = 0;
    /// The variables ("NAME=value") a PulseAudio client of this server needs.
    virtual std::vector<std::string> clientEnvironment() const = 0;
    /// Points this process's SDL at the server, through the driver the server was made for.
    /// Call before the device opens, while no other thread reads the environment.
    virtual void exportToThisProcess() const = 0;
    /// How many times so far a playback stream ran dry (the client was too late with its
    /// samples, so the sink played silence and everything after it came later).
    virtual std::size_t underruns() const = 0;
    /// Freezes the server's sound (SIGSTOP), as a machine too busy to run it does; thaw()
    /// lets it go on.
    virtual void freeze() = 0;
    virtual void thaw() = 0;

    /// Runs pactl against the server; its exit status, and what it printed in `printed`.
    int pactl(const std::vector<std::string>& arguments, std::string* printed = nullptr) const;
    /// Adds a null sink `name` at the server's rate, as plugging in headphones adds a device.
    void addSink(const std::string& name) const;
};

/// Sets each "NAME=value" entry in this process's environment. Only while no other thread
/// reads the environment.
void ExportEnvironment(const std::vector<std::string>& entries);

/// Makes a fresh runtime folder /tmp/PREFIX-XXXXXX with mode 700, as the servers ask of it.
/// Throws ServerUnavailable when it cannot.
std::filesystem::path MakeRuntimeDir(const std::string& prefix);

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

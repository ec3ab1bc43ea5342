#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
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
};

/// Sets each "NAME=value" entry in this process's environment. Only while no other thread
/// reads the environment.
void ExportEnvironment(const std::vector<std::string>& entries);

/// Reads a whole text file ("" when it cannot be read); at most its last `limit` characters.
std::string ReadTail(const std::filesystem::path& file, std::size_t limit);

} // namespace metro::testsupport

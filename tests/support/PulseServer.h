#pragma once

#include "ChildProcess.h"
#include "SoundServer.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace metro::testsupport {

/// A private PulseAudio server for one test: its own runtime folder under /tmp, one null sink
/// "out" (the default sink) at the given rate in float32 stereo. Started by the constructor,
/// stopped and its folder removed by the destructor. It logs at debug level, so that playback
/// underruns can be counted; a frozen server stops its daemon (SIGSTOP) and its clients'
/// connections stay open but get no answer. One owner thread.
class PulseServer final : public SoundServer {
public:
    /// Starts the server and waits until it answers. Throws ServerUnavailable when it cannot.
    explicit PulseServer(int sinkRate = 48000);
    ~PulseServer() override { thaw(); } // a frozen daemon would sit out the SIGTERM

    /// Kills the server outright (SIGKILL), as a crash would, and waits until it is gone.
    void kill();
    /// Starts it again in the same folder (same socket, a fresh null sink) once killed, and
    /// waits until it answers. Throws ServerUnavailable when it cannot.
    void restart();

    /// The variables a client of this server needs: PULSE_SERVER and XDG_RUNTIME_DIR.
    std::vector<std::string> clientEnvironment() const override;
    /// How many times so far a playback stream ran dry ("underrun": the client was too late
    /// with its samples, so the sink played silence and everything after it came later).
    std::size_t underruns() const override;

private:
    void start();
    const char* sdlDriver() const override { return "pulseaudio"; }
    const ChildProcess* soundProcess() const override { return m_daemon.get(); }

    std::unique_ptr<ChildProcess> m_daemon;
};

/// When a recording's first frame was captured, from how its file grows. parec delivers in
/// 100 ms pieces, so counting back from when it stopped would be up to that late; each piece
/// comes just after its last frame, so the earliest (arrival - length so far) is kept.
class RecordingStart {
public:
    RecordingStart(std::filesystem::path file, double bytesPerSecond);
    ~RecordingStart() { stop(); }
    RecordingStart(const RecordingStart&) = delete;
    RecordingStart& operator=(const RecordingStart&) = delete;
    /// Stops watching (before parec's last piece, which comes as it stops, not as recorded).
    std::chrono::steady_clock::time_point stop();

private:
    std::atomic<bool> m_watching{true};
    std::chrono::steady_clock::time_point m_first = std::chrono::steady_clock::time_point::max();
    std::thread m_watcher;
};

/// Records a sink's monitor with parec, as float32 stereo at the sink's rate, into a file in
/// the server's folder. One owner thread.
class MonitorRecording {
public:
    /// Starts parec and waits until the first samples arrive. Throws std::runtime_error.
    explicit MonitorRecording(const SoundServer& server, const std::string& sink = "out");

    /// Stops parec and returns everything recorded, interleaved stereo.
    std::vector<float> stop();
    /// Playback underruns while recording (known after stop()). A recording with underruns
    /// has gaps of silence that move later sounds, so its timing says nothing about placement.
    std::size_t playbackUnderruns() const { return m_underruns; }
    /// When the first frame recorded reached the monitor (known after stop()).
    std::chrono::steady_clock::time_point firstFrame() const { return m_firstFrame; }

private:
    const SoundServer& m_server;
    std::filesystem::path m_file;
    std::unique_ptr<ChildProcess> m_parec;
    std::unique_ptr<RecordingStart> m_start;
    std::chrono::steady_clock::time_point m_firstFrame{};
    std::size_t m_underrunsBefore = 0;
    std::size_t m_underruns = 0;
};

} // namespace metro::testsupport

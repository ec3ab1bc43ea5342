#pragma once

#include "ChildProcess.h"
#include "SoundServer.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace metro::testsupport {

/// A private PipeWire for one test, headless: its own session bus (dbus-daemon), pipewire,
/// wireplumber and pipewire-pulse in a runtime folder of their own under /tmp, and a null sink
/// "out" (the default sink) at the given rate in float32 stereo. PipeWire logs each graph cycle
/// that a client left unfinished and pipewire-pulse each stream that ran dry, so that playback
/// underruns can be counted. Throws ServerUnavailable when it cannot start. One owner thread.
class PipeWireServer final : public SoundServer {
public:
    /// How the program's SDL reaches the server.
    enum class Route {
        Native,    ///< SDL's own PipeWire driver
        PulseAudio ///< SDL's PulseAudio driver, through pipewire-pulse
    };

    explicit PipeWireServer(Route route, int sinkRate = 48000);
    ~PipeWireServer() override { stopDaemons(); }

    /// PULSE_SERVER and XDG_RUNTIME_DIR for pipewire-pulse, and where PipeWire's socket is.
    std::vector<std::string> clientEnvironment() const override;
    std::size_t underruns() const override;

private:
    const char* sdlDriver() const override {
        return m_route == Route::Native ? "pipewire" : "pulseaudio";
    }
    /// A freeze stops the graph's daemon, pipewire (started after dbus-daemon).
    const ChildProcess* soundProcess() const override {
        return m_daemons.size() > 1 ? m_daemons[1].get() : nullptr;
    }
    void startDaemons();
    void makeSink();
    /// Starts one daemon, its output in `<name>.log` (at PIPEWIRE_DEBUG level `debug`, if
    /// given), and keeps it for the teardown.
    void startDaemon(std::vector<std::string> argv, std::vector<std::string> environment,
                     const std::string& debug = "");
    /// Polls `done` until it holds; throws ServerUnavailable when a daemon has exited or the
    /// time is up.
    void waitUntil(const std::function<bool()>& done, const std::string& what);
    /// Stops the daemons in the reverse order of their start.
    void stopDaemons() noexcept;

    Route m_route;
    std::vector<std::unique_ptr<ChildProcess>> m_daemons;
};

} // namespace metro::testsupport

#include "PulseServer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>

namespace metro::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

} // namespace

PulseServer::PulseServer(int sinkRate) : SoundServer("metro-pulse", sinkRate) {
    start();
}

void PulseServer::start() {
    const std::string dir = runtimeDir().string();
    // The sink first: a client that gets in as soon as the socket is there finds it. HOME too:
    // the daemon keeps its cookie and state there, apart from every other server.
    m_daemon = startDaemon(
        {"pulseaudio", "--system=false", "-n", "--daemonize=no", "--use-pid-file=no",
         "--disallow-exit", "--exit-idle-time=-1", "--log-target=stderr", "--log-level=debug",
         "--load=module-null-sink sink_name=out format=float32le channels=2 rate=" +
             std::to_string(sinkRate()),
         "--load=module-native-protocol-unix auth-anonymous=1"},
        {"XDG_RUNTIME_DIR=" + dir, "HOME=" + dir}, "daemon.log", "SIGKILL");
    try {
        // pactl succeeds once the server accepts clients.
        PollUntil<ServerUnavailable>(
            [&] {
                return pactl({"set-default-sink", "out"}) == 0;
            },
            [&] { return m_daemon->waitFor(milliseconds(0)) != -1; },
            "pulseaudio did not start or does not answer pactl");
    } catch (const std::exception& error) {
        m_daemon.reset();
        throw ServerUnavailable(std::string(error.what()) + "\n" +
                                ReadTail(runtimeDir() / "daemon.log", 2000));
    }
}

void PulseServer::kill() {
    if (m_daemon) {
        ::kill(m_daemon->pid(), SIGKILL);
        m_daemon->waitFor(milliseconds(15000));
        m_daemon.reset();
    }
}

void PulseServer::restart() {
    kill();
    // A killed server leaves its socket behind (and the pid file, were it written).
    std::error_code ignored;
    fs::remove(runtimeDir() / "pulse" / "native", ignored);
    fs::remove(runtimeDir() / "pulse" / "pid", ignored);
    start();
}

std::vector<std::string> PulseServer::clientEnvironment() const {
    return {"PULSE_SERVER=unix:" + (runtimeDir() / "pulse" / "native").string(),
            "XDG_RUNTIME_DIR=" + runtimeDir().string()};
}

std::size_t PulseServer::underruns() const {
    return CountLinesWith(runtimeDir() / "daemon.log", "Implicit underrun of");
}

MonitorRecording::MonitorRecording(const SoundServer& server, const std::string& sink)
    : m_server(server), m_file(server.runtimeDir() / (sink + ".raw")) {
    // parec writes the samples to the file it is given and its messages to the log.
    m_parec = std::make_unique<ChildProcess>(
        std::vector<std::string>{"parec", "--device=" + sink + ".monitor", "--format=float32le",
                                 "--rate=" + std::to_string(server.sinkRate()), "--channels=2",
                                 "--latency-msec=100", "--raw", m_file.string()},
        server.clientEnvironment(), server.runtimeDir() / (sink + "-parec.log"));
    std::error_code error;
    PollUntil<std::runtime_error>([&] { return fs::file_size(m_file, error) > 0 && !error; },
                                  [&] { return m_parec->waitFor(milliseconds(0)) != -1; },
                                  "parec recorded nothing from " + sink + ".monitor");
    m_underrunsBefore = server.underruns();
    m_start = std::make_unique<RecordingStart>(m_file, 2.0 * sizeof(float) * server.sinkRate());
}

RecordingStart::RecordingStart(std::filesystem::path file, double bytesPerSecond) {
    m_watcher = std::thread([this, file = std::move(file), bytesPerSecond] {
        std::uintmax_t seen = 0;
        while (m_watching) {
            std::error_code error;
            const std::uintmax_t size = fs::file_size(file, error);
            const auto now = std::chrono::steady_clock::now();
            if (!error && size > seen) {
                seen = size;
                const std::chrono::duration<double> length(static_cast<double>(size) /
                                                           bytesPerSecond);
                m_first = std::min(
                    m_first,
                    now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(length));
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
}

std::chrono::steady_clock::time_point RecordingStart::stop() {
    m_watching = false;
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
    return m_first;
}

std::vector<float> MonitorRecording::stop() {
    m_underruns = m_server.underruns() - m_underrunsBefore;
    m_firstFrame = m_start->stop();
    m_parec->stop();
    std::ifstream in(m_file, std::ios::binary | std::ios::ate);
    std::vector<float> samples(static_cast<std::size_t>(in.tellg()) / sizeof(float) / 2 * 2);
    in.seekg(0).read(reinterpret_cast<char*>(samples.data()),
                     static_cast<std::streamsize>(samples.size() * sizeof(float)));
    return samples;
}

} // namespace metro::testsupport

#include "PulseServer.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

// SDL2 2.26's PulseAudio hot-plug thread never unrefs the libpulse operations it starts for
// sink and source events; LeakSanitizer must not blame the tests that open a device for them.
extern "C" const char* __lsan_default_suppressions() { // NOLINT: sanitizer hook name
    return "leak:libpulse.so\n";
}

// SDL2 and libpulse are not built for ThreadSanitizer: it sees their memcpy and free calls but
// not the locks around them. Our own code on their threads (the render callback) stays checked.
extern "C" const char* __tsan_default_suppressions() { // NOLINT: sanitizer hook name
    return "called_from_lib:libSDL2-2.0.so.0\n"
           "called_from_lib:libpulse.so.0\n"
           "called_from_lib:libpulsecommon-16.1.so\n";
}

namespace metro::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr milliseconds kStartTimeout{15000};
constexpr milliseconds kPoll{20};

fs::path makePrivateDir() {
    std::string pattern = (fs::temp_directory_path() / "metro-pulse-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw PulseUnavailable("cannot make a runtime folder under /tmp");
    }
    fs::permissions(pattern, fs::perms::owner_all, fs::perm_options::replace);
    return pattern;
}

} // namespace

PulseServer::PulseServer(int sinkRate) : m_sinkRate(sinkRate), m_dir(makePrivateDir()) {
    const std::vector<std::string> argv{
        "pulseaudio",
        "--system=false",
        "-n",
        "--daemonize=no",
        "--use-pid-file=no",
        "--disallow-exit",
        "--exit-idle-time=-1",
        "--log-target=stderr",
        "--log-level=debug",
        "--load=module-native-protocol-unix auth-anonymous=1",
        "--load=module-null-sink sink_name=out format=float32le channels=2 rate=" +
            std::to_string(sinkRate)};
    // HOME too: the daemon keeps its cookie and state there, apart from every other server.
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + m_dir.string(),
                                       "HOME=" + m_dir.string()};
    try {
        m_daemon = std::make_unique<ChildProcess>(argv, env, m_dir / "daemon.log");
        waitUntilReady();
    } catch (const std::exception& error) {
        std::string tail = logTail();
        m_daemon.reset();
        fs::remove_all(m_dir);
        throw PulseUnavailable(std::string(error.what()) + "\n" + tail);
    }
}

PulseServer::~PulseServer() {
    m_daemon.reset(); // SIGTERM, then SIGKILL, and waits for the exit
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
}

std::string PulseServer::address() const {
    return "unix:" + (m_dir / "pulse" / "native").string();
}

std::vector<std::string> PulseServer::clientEnvironment() const {
    return {"PULSE_SERVER=" + address(), "XDG_RUNTIME_DIR=" + m_dir.string()};
}

void PulseServer::exportToThisProcess() const {
    setenv("PULSE_SERVER", address().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
    setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
}

void PulseServer::waitUntilReady() {
    const fs::path socket = m_dir / "pulse" / "native";
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!fs::exists(socket)) {
        if (!m_daemon->running()) {
            throw PulseUnavailable("pulseaudio exited at start");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw PulseUnavailable("pulseaudio made no socket in time");
        }
        std::this_thread::sleep_for(kPoll);
    }
    // The socket exists before the server accepts; pactl succeeds once it does.
    const std::vector<std::string> setDefault{"pactl", "set-default-sink", kSinkName};
    while (RunProgram(setDefault, clientEnvironment(), m_dir / "pactl.log") != 0) {
        if (!m_daemon->running() || std::chrono::steady_clock::now() > deadline) {
            throw PulseUnavailable("pulseaudio does not answer pactl");
        }
        std::this_thread::sleep_for(kPoll);
    }
}

std::size_t PulseServer::underruns() const {
    std::ifstream in(m_dir / "daemon.log");
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find("Implicit underrun of") != std::string::npos ? 1U : 0U;
    }
    return count;
}

std::string PulseServer::logTail() const {
    std::ifstream in(m_dir / "daemon.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr std::size_t kTail = 2000;
    return text.size() > kTail ? text.substr(text.size() - kTail) : text;
}

MonitorRecording::MonitorRecording(const PulseServer& server)
    : m_server(server), m_file(server.runtimeDir() / "monitor.raw") {
    const std::vector<std::string> argv{"parec",
                                        std::string("--device=") + PulseServer::kMonitorName,
                                        "--format=float32le",
                                        "--rate=" + std::to_string(server.sinkRate()),
                                        "--channels=2",
                                        "--latency-msec=100",
                                        "--raw"};
    m_parec = std::make_unique<ChildProcess>(argv, server.clientEnvironment(), m_file,
                                             server.runtimeDir() / "parec.log");
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    std::error_code error;
    while (fs::file_size(m_file, error) == 0 || error) {
        if (!m_parec->running() || std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("parec recorded nothing from " +
                                     std::string(PulseServer::kMonitorName));
        }
        std::this_thread::sleep_for(kPoll);
    }
    m_underrunsBefore = server.underruns();
}

MonitorRecording::~MonitorRecording() {
    m_parec.reset();
}

std::vector<float> MonitorRecording::stop() {
    m_underruns = m_server.underruns() - m_underrunsBefore;
    m_parec->stop();
    std::ifstream in(m_file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float) / 2 * 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

} // namespace metro::testsupport

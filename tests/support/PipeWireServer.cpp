#include "PipeWireServer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string_view>
#include <thread>

namespace metro::testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// A session bus with no service activation, so it never starts anything of its own.
constexpr std::string_view kBusConfig = R"(<busconfig>
  <type>session</type>
  <listen>unix:path=@BUS@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

} // namespace

PipeWireServer::PipeWireServer(Route route, int sinkRate) : m_route(route), m_sinkRate(sinkRate) {
    m_dir = MakeRuntimeDir("metro-pipewire");
    try {
        startDaemons();
        makeSink();
    } catch (const std::exception& error) {
        stopDaemons();
        std::string logs;
        for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}) {
            const std::string log = ReadTail(m_dir / (name + std::string(".log")), 600);
            logs += log.empty() ? "" : std::string("\n--- ") + name + ":\n" + log;
        }
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
        throw ServerUnavailable(std::string(error.what()) + logs);
    }
}

PipeWireServer::~PipeWireServer() {
    stopDaemons();
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
}

std::vector<std::string> PipeWireServer::clientEnvironment() const {
    return {"PULSE_SERVER=unix:" + (m_dir / "pulse" / "native").string(),
            "XDG_RUNTIME_DIR=" + m_dir.string(), "PIPEWIRE_RUNTIME_DIR=" + m_dir.string(),
            "PIPEWIRE_REMOTE=pipewire-0"};
}

void PipeWireServer::exportToThisProcess() const {
    ExportEnvironment(clientEnvironment());
    setenv("SDL_AUDIODRIVER", m_route == Route::Native ? "pipewire" : "pulseaudio", 1);
}

void PipeWireServer::freeze() {
    ::kill(m_daemons.at(1)->pid(), SIGSTOP); // after dbus-daemon: pipewire
}

void PipeWireServer::thaw() {
    ::kill(m_daemons.at(1)->pid(), SIGCONT);
}

std::size_t PipeWireServer::underruns() const {
    return CountLinesWith(m_dir / "pipewire.log", "graph not finished") +
           CountLinesWith(m_dir / "pipewire-pulse.log", "UNDERFLOW");
}

void PipeWireServer::startDaemons() {
    const std::string bus = (m_dir / "bus").string();
    std::string config(kBusConfig);
    config.replace(config.find("@BUS@"), 5, bus);
    std::ofstream(m_dir / "bus.conf") << config;
    std::vector<std::string> environment = clientEnvironment();
    // HOME too: WirePlumber keeps its state there, apart from every other server.
    environment.push_back("HOME=" + m_dir.string());
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus);
    startDaemon({"dbus-daemon", "--config-file=" + (m_dir / "bus.conf").string(), "--nofork",
                 "--nopidfile"},
                environment);
    waitUntil([&] { return fs::exists(bus); }, "dbus-daemon did not start");

    // At debug level, PipeWire's node topic logs each cycle a client left unfinished (an
    // underrun of its stream); at info level pipewire-pulse logs each stream that ran dry.
    std::vector<std::string> pipewireEnvironment = environment;
    pipewireEnvironment.emplace_back("PIPEWIRE_DEBUG=pw.node:D");
    startDaemon({"pipewire"}, pipewireEnvironment);
    waitUntil([&] { return fs::exists(m_dir / "pipewire-0"); }, "pipewire did not start");

    startDaemon({"wireplumber"}, environment);
    std::vector<std::string> pulseEnvironment = environment;
    pulseEnvironment.emplace_back("PIPEWIRE_DEBUG=3");
    startDaemon({"pipewire-pulse"}, pulseEnvironment);
    waitUntil(
        [&] {
            return RunProgram({"pactl", "info"}, clientEnvironment(), m_dir / "pactl.log") == 0;
        },
        "pipewire-pulse does not answer pactl");
}

void PipeWireServer::makeSink() {
    addSink("out");
    // The default sink is WirePlumber's choice: it follows the one set here once it runs.
    waitUntil(
        [&] {
            std::string printed;
            pactl({"set-default-sink", "out"});
            return pactl({"get-default-sink"}, &printed) == 0 && printed == "out\n";
        },
        "wireplumber does not make the null sink the default");
}

void PipeWireServer::waitUntil(const std::function<bool()>& done, const std::string& what) {
    PollUntil<ServerUnavailable>(
        done,
        [&] {
            return std::any_of(m_daemons.begin(), m_daemons.end(), [](const auto& daemon) {
                return daemon->waitFor(milliseconds(0)) != -1;
            });
        },
        what);
}

void PipeWireServer::startDaemon(std::vector<std::string> argv,
                                 std::vector<std::string> environment) {
    const fs::path log = m_dir / (argv.front() + ".log");
    // setpriv runs the daemon with a death signal: it ends with this process even if this
    // process dies without its destructors (a crash, a sanitizer's abort).
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "SIGTERM", "--"});
    try {
        m_daemons.push_back(std::make_unique<ChildProcess>(argv, environment, log));
    } catch (const std::runtime_error& error) {
        throw ServerUnavailable(error.what());
    }
}

void PipeWireServer::stopDaemons() noexcept {
    while (!m_daemons.empty()) {
        m_daemons.pop_back(); // SIGTERM, then SIGKILL, and waits for the exit
    }
}

} // namespace metro::testsupport

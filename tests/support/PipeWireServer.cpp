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

PipeWireServer::PipeWireServer(Route route, int sinkRate)
    : SoundServer("metro-pipewire", sinkRate), m_route(route) {
    try {
        startDaemons();
        makeSink();
    } catch (const std::exception& error) {
        stopDaemons();
        std::string logs;
        for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}) {
            const std::string log = ReadTail(runtimeDir() / (name + std::string(".log")), 600);
            logs += log.empty() ? "" : std::string("\n--- ") + name + ":\n" + log;
        }
        throw ServerUnavailable(std::string(error.what()) + logs);
    }
}

std::vector<std::string> PipeWireServer::clientEnvironment() const {
    const std::string dir = runtimeDir().string();
    return {"PULSE_SERVER=unix:" + dir + "/pulse/native", "XDG_RUNTIME_DIR=" + dir,
            "PIPEWIRE_RUNTIME_DIR=" + dir, "PIPEWIRE_REMOTE=pipewire-0"};
}

std::size_t PipeWireServer::underruns() const {
    return CountLinesWith(runtimeDir() / "pipewire.log", "graph not finished") +
           CountLinesWith(runtimeDir() / "pipewire-pulse.log", "UNDERFLOW");
}

void PipeWireServer::startDaemons() {
    const std::string bus = (runtimeDir() / "bus").string();
    std::string config(kBusConfig);
    config.replace(config.find("@BUS@"), 5, bus);
    std::ofstream(runtimeDir() / "bus.conf") << config;
    std::vector<std::string> environment = clientEnvironment();
    // HOME too: WirePlumber keeps its state there, apart from every other server.
    environment.push_back("HOME=" + runtimeDir().string());
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus);
    startDaemon({"dbus-daemon", "--config-file=" + (runtimeDir() / "bus.conf").string(), "--nofork",
                 "--nopidfile"},
                environment);
    waitUntil([&] { return fs::exists(bus); }, "dbus-daemon did not start");

    // At debug level, PipeWire's node topic logs each cycle a client left unfinished (an
    // underrun of its stream); at info level pipewire-pulse logs each stream that ran dry.
    startDaemon({"pipewire"}, environment, "pw.node:D");
    waitUntil([&] { return fs::exists(runtimeDir() / "pipewire-0"); }, "pipewire did not start");

    startDaemon({"wireplumber"}, environment);
    startDaemon({"pipewire-pulse"}, environment, "3");
    waitUntil([&] { return pactl({"info"}) == 0; }, "pipewire-pulse does not answer pactl");
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
                                 std::vector<std::string> environment, const std::string& debug) {
    const std::string log = argv.front() + ".log";
    if (!debug.empty()) {
        environment.push_back("PIPEWIRE_DEBUG=" + debug);
    }
    m_daemons.push_back(SoundServer::startDaemon(std::move(argv), environment, log, "SIGTERM"));
}

void PipeWireServer::stopDaemons() noexcept {
    while (!m_daemons.empty()) {
        m_daemons.pop_back(); // SIGTERM, then SIGKILL, and waits for the exit
    }
}

} // namespace metro::testsupport

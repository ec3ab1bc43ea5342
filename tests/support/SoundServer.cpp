#include "SoundServer.h"

#include "ChildProcess.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace metro::testsupport {

SoundServer::SoundServer(const std::string& prefix, int sinkRate) : m_sinkRate(sinkRate) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw ServerUnavailable("cannot make a runtime folder under /tmp");
    }
    m_dir = pattern;
}

SoundServer::~SoundServer() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void SoundServer::exportToThisProcess() const {
    for (const std::string& entry : clientEnvironment()) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    setenv("SDL_AUDIODRIVER", sdlDriver(), 1);
}

void SoundServer::signalSound(int signal) const {
    // A process already reaped has no pid; kill(-1) would reach every process of the user.
    if (const ChildProcess* process = soundProcess(); process != nullptr && process->pid() > 0) {
        ::kill(process->pid(), signal);
    }
}

std::unique_ptr<ChildProcess> SoundServer::startDaemon(std::vector<std::string> argv,
                                                       const std::vector<std::string>& environment,
                                                       const std::string& log,
                                                       const std::string& deathSignal) const {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", deathSignal, "--"});
    try {
        return std::make_unique<ChildProcess>(argv, environment, m_dir / log);
    } catch (const std::runtime_error& error) {
        throw ServerUnavailable(error.what());
    }
}

std::string ReadTail(const std::filesystem::path& file, std::size_t limit) {
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    return text.size() > limit ? text.substr(text.size() - limit) : text;
}

std::size_t CountLinesWith(const std::filesystem::path& file, std::string_view needle) {
    std::ifstream in(file);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find(needle) != std::string::npos ? 1U : 0U;
    }
    return count;
}

int SoundServer::pactl(const std::vector<std::string>& arguments, std::string* printed) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int status = RunProgram(argv, clientEnvironment(), runtimeDir() / "pactl.log");
    if (printed != nullptr) {
        *printed = ReadTail(runtimeDir() / "pactl.log", 100000);
    }
    return status;
}

void SoundServer::addSink(const std::string& name) const {
    if (pactl({"load-module", "module-null-sink", "sink_name=" + name, "format=float32le",
               "channels=2", "rate=" + std::to_string(sinkRate())}) != 0) {
        throw ServerUnavailable("cannot make the null sink " + name);
    }
}

} // namespace metro::testsupport

#include "SoundServer.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace metro::testsupport {

void ExportEnvironment(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

std::filesystem::path MakeRuntimeDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw ServerUnavailable("cannot make a runtime folder under /tmp");
    }
    return pattern;
}

std::string ReadTail(const std::filesystem::path& file, std::size_t limit) {
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    return text.size() > limit ? text.substr(text.size() - limit) : text;
}

} // namespace metro::testsupport

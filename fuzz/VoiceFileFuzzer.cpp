// Feeds arbitrary bytes through the voice loading path: the bytes become a file, which is
// decoded and converted to the two usual device rates. A refusal (SoundError) is fine; any
// other exception, a crash, a hang or a sample that is not a finite number is a fault.
#include "metro/sound/VoiceBank.h"

#include <sndfile.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

// libsndfile leaks libvorbis's codec set-up (a few kilobytes) when it refuses an Ogg Vorbis
// file whose headers are cut short. The leak is the library's, so the leak checker lets it pass.
extern "C" const char* __lsan_default_suppressions() { // NOLINT(bugprone-reserved-identifier)
    return "leak:vorbis_info_init\n";
}

namespace {

// libsndfile and libsamplerate are the system's uninstrumented builds, so the fuzzer cannot see
// which of their paths an input takes. What they report instead (the format, each line of the
// header log, the refusal's wording) is marked by calling one of many distinct functions, which
// the fuzzer counts as coverage; numbers are left out so that sizes do not flood the corpus.
template <std::size_t N> [[gnu::noinline]] void mark() {
    asm volatile("" ::: "memory");
}
template <std::size_t... N> constexpr auto makeMarks(std::index_sequence<N...> /*unused*/) {
    return std::array<void (*)(), sizeof...(N)>{&mark<N>...};
}
constexpr auto kMarks = makeMarks(std::make_index_sequence<1024>{});

void markText(std::string_view kind, std::string_view text) {
    std::string words(kind);
    for (const char c : text) {
        if (c < '0' || c > '9') {
            words += c;
        }
    }
    kMarks[std::hash<std::string>{}(words) % kMarks.size()]();
}

/// Marks the format libsndfile sees and each line of its header log.
void markHeader(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return;
    }
    markText("format", std::to_string(info.format) + "/" + std::to_string(info.channels > 2));
    std::array<char, 4096> log{};
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    std::string_view rest(log.data());
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        markText("log", rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    sf_close(file);
}

std::filesystem::path scratchFile() {
    const char* dir = std::getenv("TMPDIR");
    return std::filesystem::path(dir != nullptr ? dir : "/tmp") /
           ("voice-fuzz-" + std::to_string(getpid()) + ".snd");
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "voice_file_fuzzer: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path path = scratchFile();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    markHeader(path);
    for (const int rate : {48000, 44100}) {
        try {
            const auto set = metro::sound::decodeSoundFile(path, rate);
            check(set->sampleRate == rate, "wrong rate");
            check(set->frames() > 0 && set->samples.size() % 2 == 0, "no whole frames");
            for (const float sample : set->samples) {
                check(std::isfinite(sample), "a decoded sample is not finite");
            }
            markText("frames",
                     std::string(static_cast<std::size_t>(std::bit_width(set->frames())), '#'));
        } catch (const metro::sound::SoundError& error) {
            // Refused: the path the program reports to the user.
            markText("refused", std::string_view(error.what()).substr(path.string().size()));
        }
    }
    return 0;
}

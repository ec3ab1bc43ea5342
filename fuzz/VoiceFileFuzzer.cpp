// Feeds arbitrary bytes through the voice loading path: the bytes become a file, which is
// decoded and converted to the two usual device rates. A refusal (SoundError) is fine; any
// other exception, a crash, a hang or a sample that is not a finite number is a fault.
#include "metro/sound/VoiceBank.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

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
    for (const int rate : {48000, 44100}) {
        try {
            const auto set = metro::sound::decodeSoundFile(path, rate);
            check(set->sampleRate == rate, "wrong rate");
            check(set->frames() > 0 && set->samples.size() % 2 == 0, "no whole frames");
            for (const float sample : set->samples) {
                check(std::isfinite(sample), "a decoded sample is not finite");
            }
        } catch (const metro::sound::SoundError&) {
            // refused: the path the program reports to the user
        }
    }
    return 0;
}

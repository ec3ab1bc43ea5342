// Writes the fuzzer's seed corpus into the folder given: short sounds in every container and
// encoding the voice loader may meet, so that the fuzzer starts from valid headers.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Seed {
    const char* name;
    int format;
    int rate;
    int channels;
};

const Seed kSeeds[] = {
    {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2},
    {"u8-mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, 1},
    {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 2},
    {"float-4ch.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 4},
    {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 22050, 1},
    {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 1},
    {"ima-adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 11025, 2},
    {"ms-adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, 16000, 1},
    {"gsm.wav", SF_FORMAT_WAV | SF_FORMAT_GSM610, 8000, 1},
    {"pcm16.wavex", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 48000, 6},
    {"pcm16.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 48000, 2},
    {"pcm16.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 48000, 2},
    {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2},
    {"float.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 44100, 1},
    {"pcm16.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 44100, 1},
    {"alac.caf", SF_FORMAT_CAF | SF_FORMAT_ALAC_16, 44100, 2},
    {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2},
    {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 192000, 1},
    {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2},
    {"opus.ogg", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 1},
    {"pcm16.voc", SF_FORMAT_VOC | SF_FORMAT_PCM_16, 22050, 1},
    {"pcm16.nist", SF_FORMAT_NIST | SF_FORMAT_PCM_16, 16000, 1},
    {"g721.au", SF_FORMAT_AU | SF_FORMAT_G721_32, 8000, 1},
    {"dwvw.aiff", SF_FORMAT_AIFF | SF_FORMAT_DWVW_16, 44100, 1},
    {"pcm24.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_24, 48000, 2},
    {"float.ircam", SF_FORMAT_IRCAM | SF_FORMAT_FLOAT, 44100, 1},
    {"pcm24.paf", SF_FORMAT_PAF | SF_FORMAT_PCM_24, 44100, 2},
    {"pcm16.svx", SF_FORMAT_SVX | SF_FORMAT_PCM_16, 22050, 1},
    {"double.mat5", SF_FORMAT_MAT5 | SF_FORMAT_DOUBLE, 8000, 1},
    {"pcm16.htk", SF_FORMAT_HTK | SF_FORMAT_PCM_16, 16000, 1},
    {"pcm16.sds", SF_FORMAT_SDS | SF_FORMAT_PCM_16, 22050, 1},
    {"pcm16.avr", SF_FORMAT_AVR | SF_FORMAT_PCM_16, 22050, 1},
    {"pcm16.xi", SF_FORMAT_XI | SF_FORMAT_DPCM_16, 44100, 1},
    {"pcm16.mpc2k", SF_FORMAT_MPC2K | SF_FORMAT_PCM_16, 44100, 2},
    {"layer3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1},
};

bool write(const std::filesystem::path& path, const Seed& seed) {
    SF_INFO info{0, seed.rate, seed.channels, seed.format, 0, 0};
    if (sf_format_check(&info) == 0) {
        return false;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const int frames = seed.rate / 100; // 10 ms: a short tone keeps the seeds small
    std::vector<float> samples(static_cast<std::size_t>(frames * seed.channels));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto frame = static_cast<double>(i / static_cast<std::size_t>(seed.channels));
        samples[i] = static_cast<float>(0.5 * std::sin(frame * 0.3));
    }
    const bool written = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    int status = 0;
    for (const Seed& seed : kSeeds) {
        if (!write(folder / seed.name, seed)) {
            std::fprintf(stderr, "cannot write %s: %s\n", seed.name, sf_strerror(nullptr));
            status = 1;
        }
    }
    return status;
}

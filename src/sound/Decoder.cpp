#include "metro/sound/VoiceBank.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace metro::sound {

namespace {

namespace fs = std::filesystem;

/// Longest sound a voice may hold; anything longer is surely the wrong file.
constexpr double kMaxSeconds = 5.0;
/// Highest and lowest source rates accepted (libsamplerate handles ratios up to 256).
constexpr int kMinSourceRate = 1000;
constexpr int kMaxSourceRate = 384000;
constexpr int kMaxChannels = 32;
/// Most frames a voice may hold (5 s at 96 kHz): converting a long sound from a high rate costs
/// in proportion to its frames, and must stay well under a second on the window thread.
constexpr sf_count_t kMaxFrames = 480000;

[[noreturn]] void refuse(const fs::path& path, std::string_view reason) {
    throw SoundError("Cannot use sound file \"" + path.string() + "\": " + std::string(reason));
}

/// Refuses what libsndfile should not be asked to open: a missing path, a folder, a device.
void checkPath(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        refuse(path, "the file does not exist");
    }
    if (error) {
        refuse(path, error.message());
    }
    if (status.type() == fs::file_type::directory) {
        refuse(path, "it is a folder, not a file");
    }
    if (status.type() != fs::file_type::regular) {
        refuse(path, "it is not a regular file");
    }
    if (fs::file_size(path, error) == 0 && !error) {
        refuse(path, "it is empty");
    }
}

struct SndFileCloser {
    void operator()(SNDFILE* file) const noexcept { sf_close(file); }
};
using SndFile = std::unique_ptr<SNDFILE, SndFileCloser>;

/// libsndfile shortens a file whose data chunk runs past its end, and only says so in its log.
bool dataIsTruncated(SNDFILE* file) {
    std::array<char, 4096> log{};
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    const std::string_view text(log.data());
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) {
            lineEnd = text.size();
        }
        const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        if (line.starts_with("data") && line.find("should be") != std::string_view::npos) {
            return true;
        }
        lineStart = lineEnd + 1;
    }
    return false;
}

SndFile openChecked(const fs::path& path, SF_INFO& info) {
    info = SF_INFO{};
    SndFile file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        refuse(path, sf_strerror(nullptr));
    }
    if (info.channels <= 0 || info.channels > kMaxChannels) {
        refuse(path, "it has " + std::to_string(info.channels) + " channels");
    }
    if (info.samplerate < kMinSourceRate || info.samplerate > kMaxSourceRate) {
        refuse(path,
               "its sample rate of " + std::to_string(info.samplerate) + " Hz is out of range");
    }
    if (info.frames <= 0) {
        refuse(path, "it holds no sound (zero frames)");
    }
    if (static_cast<double>(info.frames) > kMaxSeconds * info.samplerate) {
        refuse(path, "it is too long (" +
                         std::to_string(static_cast<double>(info.frames) / info.samplerate) +
                         " s; a voice may last at most " +
                         std::to_string(static_cast<int>(kMaxSeconds)) + " s)");
    }
    if (info.frames > kMaxFrames) {
        refuse(path, "it holds too many frames (" + std::to_string(info.frames) +
                         "; a voice may hold at most " + std::to_string(kMaxFrames) + ")");
    }
    if (dataIsTruncated(file.get())) {
        refuse(path, "it is truncated (the file ends before its sound data does)");
    }
    return file;
}

/// Folds one frame to stereo: mono is spread to both sides; with more channels the even ones
/// are averaged into the left and the odd ones into the right. The sums are kept in double,
/// where loud float samples cannot overflow, so the averages are finite floats.
void foldFrame(const fs::path& path, const float* in, std::size_t channels, float* out) {
    double left = 0.0;
    double right = 0.0;
    for (std::size_t ch = 0; ch < channels; ++ch) {
        if (!std::isfinite(in[ch])) {
            refuse(path, "it holds samples that are not finite numbers");
        }
        (ch % 2 == 0 ? left : right) += in[ch];
    }
    const std::size_t leftCount = (channels + 1) / 2;
    const std::size_t rightCount = channels / 2;
    left /= static_cast<double>(leftCount);
    out[0] = static_cast<float>(left);
    out[1] = rightCount == 0 ? out[0] : static_cast<float>(right / static_cast<double>(rightCount));
}

/// Reads every frame, in chunks, folded to interleaved stereo.
std::vector<float> readStereo(const fs::path& path, SNDFILE* file, const SF_INFO& info) {
    constexpr sf_count_t kChunkFrames = 4096;
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * channels);
    std::vector<float> stereo(static_cast<std::size_t>(info.frames) * 2);
    sf_count_t done = 0;
    while (done < info.frames) {
        const sf_count_t want = std::min(kChunkFrames, info.frames - done);
        const sf_count_t got = sf_readf_float(file, chunk.data(), want);
        if (sf_error(file) != SF_ERR_NO_ERROR) {
            refuse(path, sf_strerror(file));
        }
        if (got <= 0) {
            refuse(path, "it is truncated (read " + std::to_string(done) + " of " +
                             std::to_string(info.frames) + " frames)");
        }
        for (sf_count_t i = 0; i < got; ++i) {
            foldFrame(path, &chunk[static_cast<std::size_t>(i) * channels], channels,
                      &stereo[static_cast<std::size_t>(done + i) * 2]);
        }
        done += got;
    }
    return stereo;
}

std::vector<float> resample(const fs::path& path, std::vector<float> stereo, int fromRate,
                            int toRate) {
    if (fromRate == toRate) {
        return stereo;
    }
    const double ratio = static_cast<double>(toRate) / fromRate;
    const std::size_t inFrames = stereo.size() / 2;
    const auto outCapacity =
        static_cast<std::size_t>(std::ceil(static_cast<double>(inFrames) * ratio)) + 16;
    std::vector<float> out(outCapacity * 2);
    SRC_DATA data{};
    data.data_in = stereo.data();
    data.input_frames = static_cast<long>(inFrames);
    data.data_out = out.data();
    data.output_frames = static_cast<long>(outCapacity);
    data.src_ratio = ratio;
    const int error = src_simple(&data, SRC_SINC_BEST_QUALITY, 2);
    if (error != 0) {
        refuse(path, std::string("resampling failed: ") + src_strerror(error));
    }
    if (data.output_frames_gen <= 0) {
        refuse(path, "resampling produced no sound");
    }
    out.resize(static_cast<std::size_t>(data.output_frames_gen) * 2);
    // Samples near the largest float overshoot to infinity in the filter.
    if (!std::all_of(out.begin(), out.end(), [](float x) { return std::isfinite(x); })) {
        refuse(path, "its samples are too large to convert to the device's rate");
    }
    return out;
}

} // namespace

std::shared_ptr<const SampleSet> decodeSoundFile(const std::filesystem::path& path,
                                                 int sampleRate) {
    if (sampleRate < kMinSourceRate || sampleRate > kMaxSourceRate) {
        refuse(path, "the output rate of " + std::to_string(sampleRate) + " Hz is not usable");
    }
    checkPath(path);
    SF_INFO info{};
    const SndFile file = openChecked(path, info);
    std::vector<float> stereo = readStereo(path, file.get(), info);

    auto set = std::make_shared<SampleSet>();
    set->name = path.string();
    set->sampleRate = sampleRate;
    set->samples = resample(path, std::move(stereo), info.samplerate, sampleRate);
    return set;
}

std::filesystem::path executableDirectory() {
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (error || exe.empty()) {
        throw SoundError("Cannot find the program's folder through /proc/self/exe: " +
                         error.message());
    }
    return exe.parent_path();
}

} // namespace metro::sound

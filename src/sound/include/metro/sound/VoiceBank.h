#pragma once

#include "metro/sound/SoundService.h"

#include <filesystem>
#include <memory>

namespace metro::sound {

enum class VoiceSound { None, Click, HiHat };

/// The folder that holds the running executable (from /proc/self/exe), where the voice
/// files live.
std::filesystem::path executableDirectory();

/// Decodes a sound file to interleaved stereo float at the given rate.
/// Throws SoundError naming the file and the reason for any file it cannot use.
std::shared_ptr<const SampleSet> decodeSoundFile(const std::filesystem::path& path, int sampleRate);

/// Fills voice slots 1..4 with four voices of one sound from `directory`, or from the
/// program's folder (asked for at the first load) when none is given.
/// Window thread only.
class VoiceBank {
public:
    explicit VoiceBank(SoundService& sound, std::filesystem::path directory = {});

    /// Loads "click.wav" into slots 1..4.
    void SETIT(); // NOLINT(readability-identifier-naming): the form's procedure name
    /// Loads "hat.wav" into slots 1..4.
    void setithat(); // NOLINT(readability-identifier-naming): the form's procedure name
    /// Empties slots 0..4 in index order.
    void ReleaseVoices(); // NOLINT(readability-identifier-naming): the form's procedure name

    /// The sound now in the slots.
    VoiceSound loaded() const { return m_loaded; }

private:
    void load(const char* fileName, VoiceSound sound);

    SoundService& m_sound;
    std::filesystem::path m_directory;
    VoiceSound m_loaded = VoiceSound::None;
};

} // namespace metro::sound

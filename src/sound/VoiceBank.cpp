#include "metro/sound/VoiceBank.h"

#include <utility>

namespace metro::sound {

VoiceBank::VoiceBank(SoundService& sound, std::filesystem::path directory)
    : m_sound(sound), m_directory(std::move(directory)) {}

void VoiceBank::SETIT() {
    load("click.wav", VoiceSound::Click);
}

void VoiceBank::setithat() {
    load("hat.wav", VoiceSound::HiHat);
}

void VoiceBank::ReleaseVoices() {
    for (int slot = 0; slot < SoundService::kSlotCount; ++slot) {
        m_sound.releaseVoice(slot);
    }
    m_loaded = VoiceSound::None;
}

// The new file is decoded before anything is released: a file that cannot be used leaves the
// voices that are loaded now in place, and its error goes to the caller. Only then are the old
// voices released, all of them before the first new one is created.
void VoiceBank::load(const char* fileName, VoiceSound sound) {
    // The program's folder is asked for at the first load, where a failure can be reported.
    if (m_directory.empty()) {
        m_directory = executableDirectory();
    }
    auto decoded = decodeSoundFile(m_directory / fileName, m_sound.sampleRate());
    ReleaseVoices();
    for (int slot = 1; slot < SoundService::kSlotCount; ++slot) {
        m_sound.createVoice(slot, decoded);
    }
    m_loaded = sound;
}

} // namespace metro::sound

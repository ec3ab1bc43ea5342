#pragma once

#include "metro/sound/VoiceBank.h"

namespace metro::window {

/// The window's view of the voice bank: which sound fills slots 1..4. Window thread only.
class VoiceLoader {
public:
    virtual ~VoiceLoader() = default;
    /// Loads the sound into slots 1..4. Throws sound::SoundError naming the file when it
    /// cannot, and then keeps the voices it had.
    virtual void load(sound::VoiceSound sound) = 0;
    /// Empties every slot.
    virtual void release() = 0;
    /// The sound now in the slots.
    virtual sound::VoiceSound loaded() const = 0;
};

/// The program's loader: the voice bank reading click.wav and hat.wav from the program folder.
class BankVoices final : public VoiceLoader {
public:
    explicit BankVoices(sound::VoiceBank& bank) : m_bank(bank) {}
    void load(sound::VoiceSound sound) override {
        if (sound == sound::VoiceSound::HiHat) {
            m_bank.setithat();
        } else {
            m_bank.SETIT();
        }
    }
    void release() override { m_bank.ReleaseVoices(); }
    sound::VoiceSound loaded() const override { return m_bank.loaded(); }

private:
    sound::VoiceBank& m_bank;
};

} // namespace metro::window

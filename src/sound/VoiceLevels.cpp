#include "metro/sound/VoiceLevels.h"

#include <cstddef>

namespace metro::sound {

void applyDefaultLevels(SoundService& sound) {
    sound.setVolume(1, 0);
    sound.setVolume(2, -400);
    sound.setVolume(3, -400);
    sound.setVolume(4, -400);
}

void applySliderChange(SoundService& sound, int slot, int position) {
    sound.setVolume(slot, position);
    if (position < kMuteThreshold) {
        sound.setVolume(slot, kSilentLevel);
    }
}

void applySliderPositions(SoundService& sound, const std::array<int, 4>& positions) {
    for (std::size_t i = 0; i < positions.size(); ++i) {
        sound.setVolume(static_cast<int>(i) + 1, positions[i]);
    }
}

} // namespace metro::sound

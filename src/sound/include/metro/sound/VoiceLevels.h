#pragma once

#include "metro/sound/SoundService.h"

#include <array>

namespace metro::sound {

/// Level slider range and the mute zone below it: -3001..-3200 stand for silence.
inline constexpr int kSliderMin = -3200;
inline constexpr int kSliderMax = 0;
inline constexpr int kMuteThreshold = -3000;

/// Start-up levels: slot 1 at 0, slots 2..4 at -400.
void applyDefaultLevels(SoundService& sound);

/// A level slider moved: its position becomes its slot's level, silence below -3000.
void applySliderChange(SoundService& sound, int slot, int position);

/// After a sound reload: each slot takes its slider's position as level, without the mute zone.
void applySliderPositions(SoundService& sound, const std::array<int, 4>& positions);

} // namespace metro::sound

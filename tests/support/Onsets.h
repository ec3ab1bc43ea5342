#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace metro::testsupport {

/// The first frame of every sound in an interleaved recording: the first frame louder than a
/// tenth of the recording's peak (on any channel) after at least 2400 quiet frames (50 ms at
/// 48 kHz). The start of the recording counts as quiet.
std::vector<std::int64_t> FindOnsets(std::span<const float> interleaved, int channels);

} // namespace metro::testsupport

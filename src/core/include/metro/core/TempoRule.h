#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace metro::core {

inline constexpr std::int64_t kMinTempo = 1;
inline constexpr std::int64_t kMaxTempo = 400;

/// Reads tempo text as a plain unsigned decimal number (digits only, leading zeros allowed).
/// Returns nothing for empty text, any non-digit, or a number too large to hold.
std::optional<std::int64_t> tempoValue(std::string_view tempoText);

/// Tempo-to-period rule: 60000 / tempo milliseconds, rounded to nearest with ties to even.
/// Returns nothing for text that gives no usable period (not a number, 0, or a period
/// that rounds to 0 ms), so a caller keeps the period it had.
// NOLINTNEXTLINE(readability-identifier-naming): kept as the form's procedure name
std::optional<std::int32_t> PeriodFromTempo(std::string_view tempoText);

/// True when Start accepts this tempo text: a number from kMinTempo to kMaxTempo.
bool isPlayableTempo(std::string_view tempoText);

} // namespace metro::core

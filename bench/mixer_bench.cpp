// The mixer's cost per output buffer on the audio thread.
//
// BM_MixerFourVoices: four slots sounding at once, re-struck every 0.8 s (so their old
// sounds fade out on extra voices now and then), with the clock map fed and the beats
// placed as in the program. BM_MixerSilent: the same mixer with nothing sounding, its fixed
// cost. BM_ClearBuffer: only zeroing the buffer, the floor any output pays.

#include "metro/core/BeatPlayer.h"
#include "metro/core/Clock.h"
#include "metro/sound/Mixer.h"
#include "metro/sound/SampleSet.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using metro::core::BeatCue;
using metro::core::TimePoint;
using metro::sound::Mixer;
using metro::sound::SampleSet;

constexpr int kRate = 48000;

std::shared_ptr<const SampleSet> NoiseSound(std::size_t frames, unsigned seed) {
    auto sound = std::make_shared<SampleSet>();
    sound->sampleRate = kRate;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> sample(-0.2F, 0.2F);
    sound->samples.resize(2 * frames);
    for (float& value : sound->samples) {
        value = sample(random);
    }
    return sound;
}

/// Feeds a mixer buffers at the pace of a real output, striking all four slots every
/// `strikeEvery` buffers (never, when 0).
void RenderBuffers(benchmark::State& state, std::int64_t strikeEvery) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    Mixer mixer(kRate, std::chrono::milliseconds(5));
    for (int slot = 1; slot <= 4; ++slot) {
        mixer.setVoice(slot, NoiseSound(kRate, static_cast<unsigned>(slot)));
        mixer.setLevel(slot, -200 * slot);
    }
    std::vector<float> buffer(2 * frames);
    const TimePoint origin(std::chrono::seconds(100));
    const auto bufferNanos = static_cast<std::int64_t>(frames) * 1'000'000'000 / kRate;
    std::int64_t index = 0;
    std::uint64_t run = 0;
    for (auto _ : state) {
        const TimePoint now = origin + std::chrono::nanoseconds(index * bufferNanos);
        if (strikeEvery > 0 && index % strikeEvery == 0) {
            ++run;
            for (int slot = 1; slot <= 4; ++slot) {
                mixer.schedule(BeatCue{slot, now + std::chrono::microseconds(500 * slot), run});
            }
        }
        mixer.render(buffer.data(), frames, now);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
        ++index;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(frames));
    state.counters["late"] = static_cast<double>(mixer.lateStarts());
}

void BM_MixerFourVoices(benchmark::State& state) {
    RenderBuffers(state, static_cast<std::int64_t>(0.8 * kRate) / state.range(0));
}

void BM_MixerSilent(benchmark::State& state) {
    RenderBuffers(state, 0);
}

void BM_ClearBuffer(benchmark::State& state) {
    std::vector<float> buffer(2 * static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::memset(buffer.data(), 0, buffer.size() * sizeof(float));
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_MixerFourVoices)->Arg(256)->Arg(480);
BENCHMARK(BM_MixerSilent)->Arg(256)->Arg(480);
BENCHMARK(BM_ClearBuffer)->Arg(256)->Arg(480);

} // namespace

BENCHMARK_MAIN();

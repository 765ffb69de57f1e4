// Speed of the processing chain, reported as a multiple of real time ("x_realtime": seconds of
// 44.1 kHz stereo sound processed per second).
//
//   ./scripts/test.sh --bench        or        build/bench/loudara_bench --benchmark_repetitions=5

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "measure.h"
#include "processor/processor.h"

namespace {

using loudara::Processor;

constexpr int kRate = 44100;
constexpr int kBlockSamples = 8192;  // one 16384-byte sound buffer
constexpr int kSignalSeconds = 10;

enum class Path { Default, Heaviest, TruePeakLimiter, OversampledClipping };

std::unique_ptr<Processor> makeProcessor(Path path) {
    auto p = std::make_unique<Processor>();
    loudara::selectPresetById(*p, 232);
    if (path == Path::Heaviest) {
        // Virtual speaker, gates, emphasis with de-emphasis and the FIR final low-pass.
        p->settings.virtualSpeakerOn = 1;
        p->settings.gateOn = 1;
        p->params.preEmphasis = 2;
        p->settings.deEmphasisOn = 1;
        p->settings.finalLowpass = 1;
        loudara::selectFinalLowpass(*p);
    }
    if (path == Path::TruePeakLimiter) {
        loudara::selectPresetById(*p, 338);  // the preset it works hardest on
        p->settings.truePeakLimiter = 1;
    }
    if (path == Path::OversampledClipping) p->settings.oversampledClipping = 1;
    loudara::prepareForSong(*p, kRate);
    return p;
}

const std::vector<int16_t>& music() {
    static const std::vector<int16_t> signal = loudara::test::musicLikeSignal(kRate * kSignalSeconds, kRate);
    return signal;
}

// The same signal as floats at full scale 1.0, for processBlockFloat.
const std::vector<float>& musicFloat() {
    static const std::vector<float> signal = [] {
        std::vector<float> out(music().size());
        for (size_t i = 0; i < out.size(); ++i) out[i] = float(music()[i] / 32768.0);
        return out;
    }();
    return signal;
}

void reportRealTime(benchmark::State& state, int64_t frames) {
    state.counters["x_realtime"] = benchmark::Counter(double(frames) / kRate, benchmark::Counter::kIsRate);
}

void process(Processor& p, const int16_t* in, int16_t* out) { loudara::processBlock(p, kBlockSamples, in, out); }
void process(Processor& p, const float* in, float* out) { loudara::processBlockFloat(p, kBlockSamples, in, out); }

// Runs the chain over the signal in sound-buffer blocks, starting again at its end.
template <class Sample>
void runBlocks(benchmark::State& state, Processor& p, const std::vector<Sample>& signal) {
    std::vector<Sample> out(kBlockSamples);
    size_t offset = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        if (offset + kBlockSamples > signal.size()) offset = 0;
        process(p, signal.data() + offset, out.data());
        benchmark::DoNotOptimize(out.data());
        offset += kBlockSamples;
        frames += kBlockSamples / 2;
    }
    reportRealTime(state, frames);
}

void BM_ProcessBlockDefault(benchmark::State& state) {
    auto p = makeProcessor(Path::Default);
    runBlocks(state, *p, music());
}

void BM_ProcessBlockHeaviest(benchmark::State& state) {
    auto p = makeProcessor(Path::Heaviest);
    runBlocks(state, *p, music());
}

// Digital silence right after loud music: the decaying filter states must not fall into
// denormal arithmetic, so this should run as fast as music.
void BM_ProcessBlockSilenceAfterMusic(benchmark::State& state) {
    auto p = makeProcessor(Path::Heaviest);
    std::vector<int16_t> out(music().size());
    for (size_t offset = 0; offset + kBlockSamples <= music().size(); offset += kBlockSamples) {
        loudara::processBlock(*p, kBlockSamples, music().data() + offset, out.data() + offset);
    }
    const std::vector<int16_t> silence(static_cast<size_t>(kRate) * kSignalSeconds * 2, 0);
    runBlocks(state, *p, silence);
}

// The float entry: the same chain, float samples in and out.
void BM_ProcessBlockFloatDefault(benchmark::State& state) {
    auto p = makeProcessor(Path::Default);
    runBlocks(state, *p, musicFloat());
}

void BM_ProcessBlockFloatHeaviest(benchmark::State& state) {
    auto p = makeProcessor(Path::Heaviest);
    runBlocks(state, *p, musicFloat());
}

// Preset 338 with and without the true-peak limiter after the chain.
void BM_ProcessBlockPreset338(benchmark::State& state) {
    auto p = makeProcessor(Path::Default);
    loudara::selectPresetById(*p, 338);
    loudara::prepareForSong(*p, kRate);
    runBlocks(state, *p, music());
}

void BM_ProcessBlockTruePeakLimiter(benchmark::State& state) {
    auto p = makeProcessor(Path::TruePeakLimiter);
    runBlocks(state, *p, music());
}

// The default preset with the final clipper and post clip at four times the rate.
void BM_ProcessBlockOversampledClipping(benchmark::State& state) {
    auto p = makeProcessor(Path::OversampledClipping);
    runBlocks(state, *p, music());
}

// The cost of oversampled clipping as a ratio: the default preset with the option off and on,
// each block of the signal through both, in turns (which goes first alternates), so that a busy
// machine slows both alike. "ratio" is the median over the blocks of on / off.
void BM_OversampledClippingCostRatio(benchmark::State& state) {
    auto off = makeProcessor(Path::Default), on = makeProcessor(Path::OversampledClipping);
    std::vector<int16_t> out(kBlockSamples);
    std::vector<double> ratios;
    size_t offset = 0;
    const auto timed = [&](Processor& p) {
        const auto start = std::chrono::steady_clock::now();
        process(p, music().data() + offset, out.data());
        benchmark::DoNotOptimize(out.data());
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (auto _ : state) {
        if (offset + kBlockSamples > music().size()) offset = 0;
        double plain, oversampled;
        if (ratios.size() % 2 == 0) {
            plain = timed(*off);
            oversampled = timed(*on);
        } else {
            oversampled = timed(*on);
            plain = timed(*off);
        }
        ratios.push_back(oversampled / plain);
        offset += kBlockSamples;
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    state.counters["ratio"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
}

// The default preset with the release time turned between 1 and 4 before every block, as a
// stream's knob turn does: the bands' look-ahead moves between 880 and 110 frames, which takes
// about 1400 to 2200 of each block's 4096 frames.
void BM_ProcessBlockReleaseTurns(benchmark::State& state) {
    auto p = makeProcessor(Path::Default);
    std::vector<int16_t> out(kBlockSamples);
    size_t offset = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        if (offset + kBlockSamples > music().size()) offset = 0;
        p->params.bandReleaseTime = p->params.bandReleaseTime == 1 ? 4 : 1;
        loudara::retuneEnvelopeTimes(*p);
        process(*p, music().data() + offset, out.data());
        benchmark::DoNotOptimize(out.data());
        offset += kBlockSamples;
        frames += kBlockSamples / 2;
    }
    reportRealTime(state, frames);
}

BENCHMARK(BM_ProcessBlockDefault)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockReleaseTurns)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockOversampledClipping)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OversampledClippingCostRatio)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockPreset338)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockTruePeakLimiter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockHeaviest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockSilenceAfterMusic)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockFloatDefault)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockFloatHeaviest)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

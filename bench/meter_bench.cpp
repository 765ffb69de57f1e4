// The meters' cost per second of 44.1 kHz stereo music, beside what the chain costs for the same
// second: the loudness meter as an export runs it (true peak included), bounded as the ON-AIR
// service runs it, its K-weighting and its true peak alone, and libebur128 (the tests' reference)
// reading the same figures.
#include <benchmark/benchmark.h>

#ifdef LOUDARA_HAVE_EBUR128
#include <ebur128.h>
#endif

#include <memory>
#include <vector>

#include "measure.h"
#include "measure/k_weighting.h"
#include "measure/loudness_meter.h"
#include "measure/true_peak_meter.h"
#include "processor/processor.h"

namespace {

using namespace loudara;

constexpr int kRate = 44100;
constexpr std::size_t kBlockFrames = 4096;

const std::vector<std::int16_t>& oneSecond() {
    static const auto music = test::musicLikeSignal(kRate, kRate, 30000.0);
    return music;
}

template <class Feed>
void perSecond(benchmark::State& state, Feed feed) {
    const auto& x = oneSecond();
    for (auto _ : state) {
        for (std::size_t at = 0; at < x.size() / 2; at += kBlockFrames) {
            feed(x.data() + 2 * at, std::min(kBlockFrames, x.size() / 2 - at));
        }
    }
    state.SetItemsProcessed(state.iterations() * kRate);
}

void BM_LoudnessMeterExport(benchmark::State& state) {
    LoudnessMeter meter(kRate, 2);
    perSecond(state, [&](const std::int16_t* x, std::size_t n) { meter.addFrames(x, n); });
    benchmark::DoNotOptimize(meter.integratedLufs());
}

void BM_LoudnessMeterBoundedSampleOnly(benchmark::State& state) {
    LoudnessMeter meter(kRate, 2, LoudnessMeter::History::Bounded, LoudnessMeter::Peaks::SampleOnly);
    perSecond(state, [&](const std::int16_t* x, std::size_t n) { meter.addFrames(x, n); });
    benchmark::DoNotOptimize(meter.integratedLufs());
}

void BM_KWeighting(benchmark::State& state) {
    KWeighting filter(kRate);
    std::vector<float> energies(kBlockFrames);
    perSecond(state, [&](const std::int16_t* x, std::size_t n) { kWeightedEnergies(filter, x, n, 2, energies.data()); });
    benchmark::DoNotOptimize(energies.data());
}

void BM_TruePeakMeter(benchmark::State& state) {
    TruePeakMeter meter(2);
    perSecond(state, [&](const std::int16_t* x, std::size_t n) { meter.addFrames(x, n); });
    benchmark::DoNotOptimize(meter.peak());
}

#ifdef LOUDARA_HAVE_EBUR128
void BM_Ebur128SameFigures(benchmark::State& state) {
    ebur128_state* st = ebur128_init(2, kRate, EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA);
    perSecond(state, [&](const std::int16_t* x, std::size_t n) { ebur128_add_frames_short(st, x, n); });
    ebur128_destroy(&st);
}
BENCHMARK(BM_Ebur128SameFigures)->Unit(benchmark::kMicrosecond);
#endif

// The chain (the default preset) on the same second, for scale.
void BM_ProcessBlockSameSecond(benchmark::State& state) {
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, 232);
    prepareForSong(*p, kRate);
    std::vector<std::int16_t> out(2 * kBlockFrames);
    perSecond(state, [&](const std::int16_t* x, std::size_t n) { processBlock(*p, static_cast<int>(2 * n), x, out.data()); });
}

}  // namespace

BENCHMARK(BM_LoudnessMeterExport)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoudnessMeterBoundedSampleOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KWeighting)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TruePeakMeter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessBlockSameSecond)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();

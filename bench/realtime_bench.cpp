// Cost of one JACK period of ON-AIR: the chain in the process callback (float ports to 16 bits,
// processBlock, back, the ring and the meters) against processBlock alone on the same frames, at
// 48 kHz and the period sizes a station uses; and of a song's period (its frames from the song
// ring instead of the ports). "period_share" is the processor time per second
// of sound (Google Benchmark prints it as a time: "7.8ms" is 0.78 % of each period; 1 s would be
// an xrun).
//
//   build/bench/realtime_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "audio/realtime_chain.h"
#include "measure.h"
#include "processor/processor.h"

namespace {

using loudara::Processor;
using loudara::RealtimeChain;

constexpr int kRate = 48000;
constexpr int kSignalFrames = kRate * 4;

const std::vector<int16_t>& music() {
    static const std::vector<int16_t> signal = loudara::test::musicLikeSignal(kSignalFrames, kRate);
    return signal;
}

std::unique_ptr<Processor> prepared() {
    auto p = std::make_unique<Processor>();
    loudara::selectPresetById(*p, 232);
    loudara::prepare(*p, kRate);
    return p;
}

void reportShare(benchmark::State& state, int period) {
    state.counters["period_share"] = benchmark::Counter(double(state.iterations()) * period / kRate,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_CallbackPeriod(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    auto p = prepared();
    RealtimeChain chain(*p);
    std::vector<float> left(kSignalFrames), right(kSignalFrames), outL(period), outR(period);
    for (int n = 0; n < kSignalFrames; ++n) {
        left[n] = music()[2 * n] / 32768.0f;
        right[n] = music()[2 * n + 1] / 32768.0f;
    }
    std::vector<int16_t> drained(2 * static_cast<std::size_t>(RealtimeChain::kRingFrames));
    int at = 0;
    for (auto _ : state) {
        chain.process(left.data() + at, right.data() + at, outL.data(), outR.data(), static_cast<uint32_t>(period));
        at = at + 2 * period > kSignalFrames ? 0 : at + period;
        if (chain.framesWaiting() > RealtimeChain::kRingFrames / 2) {
            state.PauseTiming();
            chain.drain(drained.data(), RealtimeChain::kRingFrames);
            chain.takeMeters(*p);
            state.ResumeTiming();
        }
    }
    reportShare(state, period);
}

void BM_ProcessBlockPeriod(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    auto p = prepared();
    std::vector<int16_t> out(2 * period);
    int at = 0;
    for (auto _ : state) {
        loudara::processBlock(*p, 2 * period, music().data() + 2 * at, out.data());
        at = at + 2 * period > kSignalFrames ? 0 : at + period;
    }
    reportShare(state, period);
}

void BM_SongPeriod(benchmark::State& state) {
    const int period = static_cast<int>(state.range(0));
    auto p = prepared();
    RealtimeChain chain(*p, nullptr, kRate, RealtimeChain::Source::Song16);
    std::vector<float> outL(period), outR(period);
    std::vector<int16_t> drained(2 * static_cast<std::size_t>(RealtimeChain::kRingFrames));
    std::size_t fed = 0;
    for (auto _ : state) {
        if (chain.songFramesWaiting() < static_cast<std::size_t>(period)) {
            // The streaming's side: a block of the song into the ring, the processed sound out.
            state.PauseTiming();
            fed = fed + 4096 > kSignalFrames ? 0 : fed;
            fed += chain.feedSong(music().data() + 2 * fed, 4096);
            chain.drain(drained.data(), RealtimeChain::kRingFrames);
            chain.takeMeters(*p);
            state.ResumeTiming();
        }
        chain.process(nullptr, nullptr, outL.data(), outR.data(), static_cast<uint32_t>(period));
    }
    reportShare(state, period);
}

BENCHMARK(BM_CallbackPeriod)->Arg(64)->Arg(128)->Arg(256)->Arg(1024);
BENCHMARK(BM_SongPeriod)->Arg(64)->Arg(128)->Arg(256)->Arg(1024);
BENCHMARK(BM_ProcessBlockPeriod)->Arg(64)->Arg(128)->Arg(256)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();

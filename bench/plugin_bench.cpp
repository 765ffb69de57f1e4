// Speed of the LADSPA plugin against processBlock on the same music, as a multiple of real time
// ("x_realtime"): the plugin, loaded as a host loads it, run in host blocks of 256, 1024 and 4096
// frames (two float channels in, two out), and processBlock in 8192-value blocks of 16-bit
// interleaved stereo, as the export runs it.
//
//   build/bench/plugin_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <ladspa.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "measure.h"
#include "processor/processor.h"

namespace {

constexpr int kRate = 44100;
constexpr int kSignalSeconds = 10;

const std::vector<int16_t>& music() {
    static const std::vector<int16_t> signal = loudara::test::musicLikeSignal(kRate * kSignalSeconds, kRate);
    return signal;
}

void reportRealTime(benchmark::State& state, int64_t frames) {
    state.counters["x_realtime"] = benchmark::Counter(double(frames) / kRate, benchmark::Counter::kIsRate);
}

void BM_ProcessBlock(benchmark::State& state) {
    auto p = std::make_unique<loudara::Processor>();
    loudara::applyFirstStart(*p);
    loudara::prepare(*p, kRate);
    constexpr int kBlockValues = 8192;
    std::vector<int16_t> out(kBlockValues);
    size_t offset = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        if (offset + kBlockValues > music().size()) offset = 0;
        loudara::processBlock(*p, kBlockValues, music().data() + offset, out.data());
        benchmark::DoNotOptimize(out.data());
        offset += kBlockValues;
        frames += kBlockValues / 2;
    }
    reportRealTime(state, frames);
}

const LADSPA_Descriptor* descriptor() {
    static const LADSPA_Descriptor* d = [] {
        void* library = dlopen(LOUDARA_LADSPA_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        auto entry = library ? reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(library, "ladspa_descriptor")) : nullptr;
        return entry ? entry(0) : nullptr;
    }();
    return d;
}

void BM_LadspaRun(benchmark::State& state) {
    const LADSPA_Descriptor* d = descriptor();
    if (!d) {
        state.SkipWithError("cannot load the LADSPA plugin");
        return;
    }
    const int block = int(state.range(0));
    LADSPA_Handle h = d->instantiate(d, kRate);
    // Every control at its hinted start: the chain at its first start.
    std::vector<float> controls(d->PortCount, 0.0f);
    for (unsigned long i = 5; i < d->PortCount; ++i) {
        const LADSPA_PortRangeHint& hint = d->PortRangeHints[i];
        const float lo = hint.LowerBound, hi = hint.UpperBound;
        switch (hint.HintDescriptor & LADSPA_HINT_DEFAULT_MASK) {
            case LADSPA_HINT_DEFAULT_MINIMUM: controls[i] = lo; break;
            case LADSPA_HINT_DEFAULT_LOW: controls[i] = lo * 0.75f + hi * 0.25f; break;
            case LADSPA_HINT_DEFAULT_MIDDLE: controls[i] = lo * 0.5f + hi * 0.5f; break;
            case LADSPA_HINT_DEFAULT_HIGH: controls[i] = lo * 0.25f + hi * 0.75f; break;
            case LADSPA_HINT_DEFAULT_MAXIMUM: controls[i] = hi; break;
            case LADSPA_HINT_DEFAULT_1: controls[i] = 1; break;
            case LADSPA_HINT_DEFAULT_100: controls[i] = 100; break;
            case LADSPA_HINT_DEFAULT_440: controls[i] = 440; break;
            default: break;
        }
        d->connect_port(h, i, &controls[i]);
    }
    d->connect_port(h, 4, &controls[4]);
    const size_t frames = music().size() / 2;
    std::vector<float> inL(frames), inR(frames), outL(block), outR(block);
    for (size_t n = 0; n < frames; ++n) {
        inL[n] = float(music()[2 * n] / 32768.0);
        inR[n] = float(music()[2 * n + 1] / 32768.0);
    }
    d->connect_port(h, 2, outL.data());
    d->connect_port(h, 3, outR.data());
    d->activate(h);
    size_t offset = 0;
    int64_t done = 0;
    for (auto _ : state) {
        if (offset + size_t(block) > frames) offset = 0;
        d->connect_port(h, 0, inL.data() + offset);
        d->connect_port(h, 1, inR.data() + offset);
        d->run(h, unsigned(block));
        benchmark::DoNotOptimize(outL.data());
        offset += size_t(block);
        done += block;
    }
    reportRealTime(state, done);
    d->cleanup(h);
}

BENCHMARK(BM_ProcessBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LadspaRun)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

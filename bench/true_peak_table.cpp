// Prints, for every preset, the output's true peak (16x reference), integrated loudness and the
// true-peak limiter's gain reduction, limiter off and on, on loud test material:
//   true_peak_table [SECONDS] [RATE] [music|tones]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "measure.h"
#include "measure/loudness_meter.h"
#include "processor/processor.h"

using namespace loudara;

namespace {

std::vector<int16_t> tones(int rate, int frames) { return test::twoLoudTones(rate, frames); }

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 44100;
    const bool tonal = argc > 3 && std::strcmp(argv[3], "tones") == 0;
    const auto in = tonal ? tones(rate, seconds * rate) : test::musicLikeSignal(seconds * rate, rate, 30000.0, 9);
    std::printf("preset  TP16 off  TP16 on   LUFS off  LUFS on   GR max dB  GR mean dB  reduced %%\n");
    for (const BuiltinPreset& preset : builtinPresets()) {
        double tp[2], lufs[2];
        TruePeakLimiter stats;
        for (int on = 0; on < 2; ++on) {
            auto p = std::make_unique<Processor>();
            selectPresetById(*p, preset.commandId);
            p->settings.truePeakLimiter = on;
            prepare(*p, rate);
            std::vector<int16_t> out(in.size());
            processBlock(*p, static_cast<int32_t>(in.size()), in.data(), out.data());
            const std::vector<int16_t> judged(out.begin() + rate + 2 * optionsDelayFrames(*p), out.end());
            tp[on] = test::toDb(test::referenceTruePeak(test::toFloat(judged), 2));
            LoudnessMeter meter(static_cast<unsigned>(rate), 2);
            meter.addFrames(judged.data(), judged.size() / 2);
            lufs[on] = meter.integratedLufs();
            if (on) stats = p->truePeakLimiter;
        }
        const double reducedShare = stats.frames ? 100.0 * stats.reducedFrames / stats.frames : 0.0;
        const double meanDb = stats.reducedFrames ? -test::toDb(stats.reducedGainSum / stats.reducedFrames) : 0.0;
        std::printf("%6d  %8.2f  %8.2f  %8.2f  %8.2f  %9.2f  %10.2f  %9.1f\n", preset.commandId, tp[0], tp[1], lufs[0],
                    lufs[1], -test::toDb(stats.lowestGain), meanDb, reducedShare);
    }
    return 0;
}

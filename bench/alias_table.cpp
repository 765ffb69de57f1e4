// The alias table: for every preset at 44.1 and 48 kHz, the energy of each tone set's output that
// lies on no product of the tones below half the rate, relative to the whole output (dB), with
// oversampled clipping off and on; first with the preset's own clipper levels, then with the final
// clipper 8 dB down so that both clippers work hard, and with the preset's own levels through
// the float path (no 16-bit rounding at either end; like every pass, without the chain's input
// dither, which is noise, not alias); then each preset's integrated loudness on
// 20 seconds of the music-like test signal, off and on, and the change.
//
//   build/bench/alias_table

#include <cstdio>
#include <memory>
#include <vector>

#include "alias_measure.h"
#include "measure.h"
#include "measure/loudness_meter.h"

int main() {
    using namespace loudara;
    const auto own = [](Processor&) {};
    const auto clippedHard = [](Processor& p) { p.params.finalClipDb = -8.0; };
    for (int pass = 0; pass < 3; ++pass) {
        static const char* const kTitles[] = {
            "Preset's own clipper levels (off / on, dB)\n",
            "\nFinal clipper 8 dB down (off / on, dB)\n",
            "\nPreset's own clipper levels, float path (off / on, dB)\n",
        };
        std::printf("%s", kTitles[pass]);
        for (int rate : {44100, 48000}) {
            std::printf("\n%d Hz  preset", rate);
            for (const test::AliasTones& tones : test::kAliasToneSets) std::printf("  %15s", tones.label);
            std::printf("\n");
            for (const BuiltinPreset& preset : builtinPresets()) {
                std::printf("          %6d", preset.commandId);
                for (const test::AliasTones& tones : test::kAliasToneSets) {
                    const auto measure = [&](bool oversampled) {
                        if (pass == 2) return test::presetAliasDb<float>(preset.commandId, rate, tones, oversampled, own);
                        return pass == 0 ? test::presetAliasDb(preset.commandId, rate, tones, oversampled, own)
                                         : test::presetAliasDb(preset.commandId, rate, tones, oversampled, clippedHard);
                    };
                    const double off = measure(false), on = measure(true);
                    std::printf("  %7.1f/%6.1f", off, on);
                }
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }

    std::printf("\nLoudness on the music-like signal (LUFS off / on, change LU)\n");
    for (int rate : {44100, 48000}) {
        const std::vector<int16_t> in = test::musicLikeSignal(20 * rate, rate, 30000.0, 9);
        std::printf("\n%d Hz\n", rate);
        for (const BuiltinPreset& preset : builtinPresets()) {
            double lufs[2];
            for (int on = 0; on < 2; ++on) {
                auto p = std::make_unique<Processor>();
                selectPresetById(*p, preset.commandId);
                p->settings.oversampledClipping = on;
                prepare(*p, rate);
                std::vector<int16_t> out(in.size());
                processBlock(*p, static_cast<int32_t>(in.size()), in.data(), out.data());
                const std::vector<int16_t> judged(out.begin() + 2 * (rate + chainLatencyFrames(*p)), out.end());
                LoudnessMeter meter(static_cast<unsigned>(rate), 2);
                meter.addFrames(judged.data(), judged.size() / 2);
                lufs[on] = meter.integratedLufs();
            }
            std::printf("  %6d  %7.2f / %7.2f  %+5.2f\n", preset.commandId, lufs[0], lufs[1], lufs[1] - lufs[0]);
            std::fflush(stdout);
        }
    }
}

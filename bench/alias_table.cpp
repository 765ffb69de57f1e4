// The alias table: for every preset at 44.1 and 48 kHz, the energy of each tone set's output that
// lies on no product of the tones below half the rate, relative to the whole output (dB), with
// oversampled clipping off and on; first with the preset's own clipper levels, then with the final
// clipper 8 dB down so that both clippers work hard.
//
//   build/bench/alias_table

#include <cstdio>

#include "alias_measure.h"

int main() {
    using namespace loudara;
    const auto own = [](Processor&) {};
    const auto clippedHard = [](Processor& p) { p.params.finalClipDb = -8.0; };
    for (int pass = 0; pass < 2; ++pass) {
        std::printf(pass == 0 ? "Preset's own clipper levels (off / on, dB)\n"
                              : "\nFinal clipper 8 dB down (off / on, dB)\n");
        for (int rate : {44100, 48000}) {
            std::printf("\n%d Hz  preset", rate);
            for (const test::AliasTones& tones : test::kAliasToneSets) std::printf("  %15s", tones.label);
            std::printf("\n");
            for (const BuiltinPreset& preset : builtinPresets()) {
                std::printf("          %6d", preset.commandId);
                for (const test::AliasTones& tones : test::kAliasToneSets) {
                    const double off = pass == 0 ? test::presetAliasDb(preset.commandId, rate, tones, false, own)
                                                 : test::presetAliasDb(preset.commandId, rate, tones, false, clippedHard);
                    const double on = pass == 0 ? test::presetAliasDb(preset.commandId, rate, tones, true, own)
                                                : test::presetAliasDb(preset.commandId, rate, tones, true, clippedHard);
                    std::printf("  %7.1f/%6.1f", off, on);
                }
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
}

// The true-peak limiter after the chain: every preset at every rate, on loud music and on tones,
// held at or under its ceiling as a 16x reference reads it; its delay exactly as reported; the
// chain unchanged while it is off.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "measure.h"
#include "measure/loudness_meter.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"
#include "processor/true_peak_limiter.h"

namespace loudara {
namespace {

using test::toDb;

// Loud material: the music-like signal near full scale, or two tones at -6 dBFS each (1 kHz and
// one high in the band, where the chain's clipping leaves the largest overs between samples).
std::vector<int16_t> material(bool tones, int rate, int frames) {
    return tones ? test::twoLoudTones(rate, frames) : test::musicLikeSignal(frames, rate, 30000.0, 9);
}

struct LimitedRun {
    std::vector<int16_t> out;
    double truePeakDb = 0.0, loudnessLufs = 0.0;
};

LimitedRun process(int preset, int rate, const std::vector<int16_t>& in, bool limiter, double ceilingDb = -1.0) {
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, preset);
    p->settings.truePeakLimiter = limiter ? 1 : 0;
    p->settings.truePeakCeilingDb = ceilingDb;
    prepare(*p, rate);
    LimitedRun r;
    r.out.resize(in.size());
    processBlock(*p, static_cast<int32_t>(in.size()), in.data(), r.out.data());
    // Half a second for the chain to settle (and the limiter's delay, so that both judge the same
    // stretch of sound); the rest is what is judged.
    const std::vector<int16_t> judged(r.out.begin() + rate + 2 * optionsDelayFrames(*p), r.out.end());
    // Only intervals with a sample within 4 dB of the ceiling can pass it.
    r.truePeakDb = toDb(test::referenceTruePeak(test::toFloat(judged), 2, std::pow(10.0, (ceilingDb - 4.0) / 20.0)));
    LoudnessMeter meter(static_cast<unsigned>(rate), 2);
    meter.addFrames(judged.data(), judged.size() / 2);
    r.loudnessLufs = meter.integratedLufs();
    return r;
}

// Limiter on: at or under the -1 dBTP ceiling at 16x for every preset, rate and material, and
// never more than 0.3 LU quieter than without it.
TEST(TruePeakLimiter, EveryPresetAtEveryRateStaysUnderTheCeiling) {
    for (int rate : {32000, 44100, 48000}) {
        for (bool tones : {false, true}) {
            const auto in = material(tones, rate, rate * 2);
            for (const BuiltinPreset& preset : builtinPresets()) {
                const LimitedRun off = process(preset.commandId, rate, in, false);
                const LimitedRun on = process(preset.commandId, rate, in, true);
                EXPECT_LE(on.truePeakDb, -1.0) << preset.commandId << " at " << rate << (tones ? " tones" : " music");
                EXPECT_GT(on.loudnessLufs, off.loudnessLufs - 0.3) << preset.commandId << " at " << rate;
            }
        }
    }
}

// Other ceilings hold as well, and a ceiling above what the chain reaches changes nothing but the
// delay: the output is the plain chain's, sample for sample, optionsDelayFrames later.
TEST(TruePeakLimiter, CeilingsAndExactDelay) {
    const int rate = 44100;
    const auto in = material(false, rate, rate * 2);
    for (double ceiling : {-3.0, -0.5}) {
        EXPECT_LE(process(342, rate, in, true, ceiling).truePeakDb, ceiling) << ceiling;
    }
    std::vector<int16_t> quiet(in.size());
    for (size_t i = 0; i < in.size(); ++i) quiet[i] = static_cast<int16_t>(in[i] / 64);
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, 232);
    p->params.finalClipDb = -6.0;  // the chain's output stays under -3 dBTP
    p->params.postClipDb = -6.0;
    p->settings.truePeakLimiter = 1;
    p->settings.truePeakCeilingDb = 0.0;
    prepare(*p, rate);
    const int delay = optionsDelayFrames(*p);
    EXPECT_EQ(delay, kTruePeakDelay + 66 + kLimiterFlatFrames - 1);
    std::vector<int16_t> on(quiet.size()), off(quiet.size());
    processBlock(*p, static_cast<int32_t>(quiet.size()), quiet.data(), on.data());
    p->settings.truePeakLimiter = 0;
    EXPECT_EQ(optionsDelayFrames(*p), 0);
    prepare(*p, rate);
    processBlock(*p, static_cast<int32_t>(quiet.size()), quiet.data(), off.data());
    for (int i = 0; i < delay * 2; ++i) ASSERT_EQ(on[i], 0) << i;
    for (size_t i = 0; i + 2 * delay < off.size(); ++i) ASSERT_EQ(on[i + 2 * delay], off[i]) << i;
    EXPECT_EQ(p->truePeakLimiter.reducedFrames, 0);
}

// Switched on and off while the sound runs (the window's button), the output fades between the
// chain's own sound and the limiter's, 89 frames later, instead of jumping: on a 300 Hz sine
// (where 89 frames are 218 degrees, so a jump would be almost twice the amplitude) the largest step
// from one sample to the next stays that of the sine itself.
TEST(TruePeakLimiter, SwitchedWhileTheSoundRunsNeverClicks) {
    const int rate = 44100;
    for (bool fading : {true, false}) {
        TruePeakLimiter l;
        prepareTruePeakLimiter(l, rate);
        if (!fading) l.mixStep = 1.0;  // what a plain switch does, to show the test would see it
        std::vector<double> out;
        for (int n = 0; n < rate; ++n) {
            const double x = 10000.0 * std::sin(2 * test::kPi * 300.0 * n / rate);
            const bool on = n >= rate / 3 && n < 2 * rate / 3;
            out.push_back(switchedTruePeakLimiter(l, Pair{x, x}, on, 32768.0)[0]);
        }
        double steady = 0.0, largest = 0.0;
        for (int n = 1; n < rate; ++n) {
            double& worst = n < rate / 3 ? steady : largest;
            worst = std::max(worst, std::fabs(out[n] - out[n - 1]));
        }
        if (fading) {
            EXPECT_LE(largest, steady * 1.05);
            EXPECT_FALSE(l.running) << "off again, the limiter no longer runs";
        } else {
            EXPECT_GT(largest, steady * 5);
        }
    }
}

// Off, the ceiling and the limiter's state leave the chain's samples as they are; on, in bypass,
// the input comes through as bypass gives it.
TEST(TruePeakLimiter, OffOrBypassedChangesNothing) {
    const int rate = 48000;
    const auto in = material(true, rate, rate);
    auto plain = std::make_unique<Processor>(), touched = std::make_unique<Processor>();
    prepare(*plain, rate);
    touched->settings.truePeakCeilingDb = -6.0;
    prepare(*touched, rate);
    std::vector<int16_t> a(in.size()), b(in.size());
    processBlock(*plain, static_cast<int32_t>(in.size()), in.data(), a.data());
    processBlock(*touched, static_cast<int32_t>(in.size()), in.data(), b.data());
    EXPECT_EQ(a, b);
    std::string error;
    ASSERT_TRUE(setSoundParameter(*touched, "truePeakLimiter", 1, error)) << error;
    EXPECT_FALSE(setSoundParameter(*touched, "truePeakCeilingDb", 0.5, error));
    ASSERT_TRUE(setSoundParameter(*touched, "truePeakCeilingDb", -2.0, error)) << error;
    plain->settings.bypass = touched->settings.bypass = 1;
    prepare(*plain, rate);
    prepare(*touched, rate);
    EXPECT_EQ(optionsDelayFrames(*touched), 0);
    processBlock(*plain, static_cast<int32_t>(in.size()), in.data(), a.data());
    processBlock(*touched, static_cast<int32_t>(in.size()), in.data(), b.data());
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace loudara

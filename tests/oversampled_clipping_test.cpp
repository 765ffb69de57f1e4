// Oversampled clipping: the final clipper, the post clip and the clippers of bands 4 and 5 take
// their overshoot at four times the rate; the AGC's, the HF limiter's and the top bands' gains
// are band-limited, and the latter two's detectors rectify at twice the rate. A stepped sweep of
// loud tones through each clipper leaves nothing below the band edge but the tone's own
// harmonics; through the chain, every preset's tones keep their alias under -50 dB, a measure
// that counts only what folds; skipping the high-rate work where nothing can clip changes no
// value; the twice-rate detectors keep a high pair's folded product out of the envelope; the
// added delay is exactly what the processor reports; off, nothing changes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "alias_measure.h"
#include "measure.h"
#include "processor/band_dynamics.h"
#include "processor/level_stages.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"

// The clippers' 8-lane high-rate frames pass between inline functions only.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {
namespace {

constexpr double kAliasLimitDb = -50.0;

enum class Stage { HardFinalClipper, AdaptiveFinalClipper, PostClip, BandClipper };

// One clipping stage alone, driven 6 dB over its level by a tone on bin k: the alias ratio of
// its output below bandEdgeHz.
double stageAliasDb(Stage stage, bool oversampled, int rate, int k, double bandEdgeHz) {
    auto p = std::make_unique<Processor>();
    prepare(*p, rate);
    BlockValues v{};
    v.finalClipLevel = 16000.0;
    v.postClipLevel = 16000.0;
    v.adaptiveClipper = stage == Stage::AdaptiveFinalClipper;
    const int frames = test::kAliasFrames + rate / 4;
    std::vector<double> out(frames);
    int32_t bandClipFlag = 0;
    for (int n = 0; n < frames; ++n) {
        const double s = 32000.0 * std::sin(2.0 * test::kPi * double(k) * n / test::kAliasFrames);
        Pair y;
        if (stage == Stage::PostClip) {
            y = oversampled ? oversampledPostClip(*p, v, Pair{s, -s}) : postClip(*p, v, Pair{s, -s});
        } else if (stage == Stage::BandClipper) {
            // Band 5's output stage is its clip alone.
            y = bandOutputStage(*p, 5, Pair{s, -s}, 16000.0, bandClipFlag, oversampled);
        } else {
            y = oversampled ? oversampledFinalClipper(*p, v, Pair{s, -s}) : finalClipper(*p, v, Pair{s, -s});
        }
        if (y[0] != -y[1]) ADD_FAILURE() << "the channels differ at frame " << n;
        out[n] = y[0];
    }
    if (stage == Stage::BandClipper && bandClipFlag != 1) ADD_FAILURE() << "the band's clip flag is not set";
    const int maxBin = static_cast<int>(bandEdgeHz * test::kAliasFrames / rate);
    return test::aliasRatioDb(out, k, 0, maxBin);
}

TEST(OversampledClipping, SweepThroughEachClipperLeavesNoAliasBelowTheBandEdge) {
    for (int rate : {44100, 48000}) {
        for (Stage stage :
             {Stage::HardFinalClipper, Stage::AdaptiveFinalClipper, Stage::PostClip, Stage::BandClipper}) {
            double worstBase = -400.0;
            for (double hz = 1000.0; hz <= 19000.0; hz += 500.0) {
                const int k = test::toneBin(hz, rate);
                worstBase = std::max(worstBase, stageAliasDb(stage, false, rate, k, 20000.0));
                EXPECT_LE(stageAliasDb(stage, true, rate, k, 20000.0), kAliasLimitDb)
                    << "stage " << int(stage) << " at " << rate << ", " << hz << " Hz";
            }
            // At the base rate the same sweep aliases far above the limit: the measurement sees it.
            EXPECT_GT(worstBase, -30.0) << "stage " << int(stage) << " at " << rate;
        }
    }
}

// The task's tones through every preset at 44.1 and 48 kHz, with the preset's own clipper level
// and with the final clipper 8 dB down so that both clippers work hard. Oversampled, the
// clippers add nothing over -50 dB to the alias the rest of the chain makes on the same tones
// when they do not clip at all (final clipper at 0 dB, post clip at +6 dB).
TEST(OversampledClipping, ClippersAddNoAliasToAnyPresetsTones) {
    const auto unclipped = [](Processor& p) {
        p.params.finalClipDb = 0.0;
        p.params.postClipDb = 6.0;
    };
    const auto clippedHard = [](Processor& p) { p.params.finalClipDb = -8.0; };
    for (int rate : {44100, 48000}) {
        for (const BuiltinPreset& preset : builtinPresets()) {
            for (const test::AliasTones& tones : test::kAliasToneSets) {
                const std::string where = std::to_string(preset.commandId) + " at " + std::to_string(rate) + ", " + tones.label;
                const double rest = test::presetAliasDb(preset.commandId, rate, tones, false, unclipped);
                const double limit = std::max(kAliasLimitDb, rest + 1.0);
                EXPECT_LE(test::presetAliasDb(preset.commandId, rate, tones, true), limit) << where;
                EXPECT_LE(test::presetAliasDb(preset.commandId, rate, tones, true, clippedHard), limit) << where;
            }
        }
    }
    // Without the option the clipper 8 dB down adds alias far over the limit: the test sees it.
    const test::AliasTones& fiveK = test::kAliasToneSets[0];
    EXPECT_GT(test::presetAliasDb(232, 44100, fiveK, false, clippedHard),
              test::presetAliasDb(232, 44100, fiveK, false, unclipped) + 20.0);
}

// The measurement counts only what folds. A hard clip of the 9 + 13 kHz pair that folds nothing
// (run at 64 times the rate, where only products of order 60 and more fold, and then cut exactly
// at half the base rate) makes strong products of high order below half the rate, and it reads
// far under the goal; the same clip at the base rate reads far over it.
TEST(OversampledClipping, AliasMeasurementCountsOnlyWhatFolds) {
    constexpr int kOver = 64, N = test::kAliasFrames;
    const int rate = 44100, k1 = test::toneBin(9000, rate), k2 = test::toneBin(13000, rate);
    const double level = 16000.0;
    for (double overDb : {3.5, 10.0}) {
        const double amplitude = 0.5 * level * std::pow(10.0, overDb / 20.0);
        const auto clipped = [&](double t) {
            const double s = amplitude * (std::sin(2.0 * test::kPi * k1 * t / N) + std::sin(2.0 * test::kPi * k2 * t / N));
            return std::clamp(s, -level, level);
        };
        std::vector<std::complex<double>> high(size_t(N) * kOver);
        for (size_t m = 0; m < high.size(); ++m) high[m] = clipped(double(m) / kOver);
        test::fft(high);
        // The base band's bins, back to one period at the base rate (an inverse transform by
        // conjugates).
        std::vector<std::complex<double>> band(N);
        for (int b = 1; b < N / 2; ++b) {
            band[b] = std::conj(high[b]);
            band[N - b] = high[b];
        }
        test::fft(band);
        std::vector<double> folded(N), unfolded(N);
        for (int n = 0; n < N; ++n) {
            unfolded[n] = band[n].real() / (double(N) * kOver);
            folded[n] = clipped(n);
        }
        EXPECT_LE(test::aliasRatioDb(unfolded, k1, k2), kAliasLimitDb - 10.0) << overDb << " dB over";
        EXPECT_GT(test::aliasRatioDb(folded, k1, k2), -30.0) << overDb << " dB over";
    }
}

TEST(OversampledClipping, EveryPresetsTonesStayUnderTheAliasGoal) {
    for (int rate : {44100, 48000}) {
        for (const BuiltinPreset& preset : builtinPresets()) {
            for (const test::AliasTones& tones : test::kAliasToneSets) {
                const std::string where =
                    std::to_string(preset.commandId) + " at " + std::to_string(rate) + ", " + tones.label;
                EXPECT_LE(test::presetAliasDb<float>(preset.commandId, rate, tones, true, [](Processor&) {}),
                          kAliasLimitDb)
                    << where;
            }
        }
    }
    // Off, the HF limiter alone leaves the emphasis presets' 15 kHz tone far over the goal.
    EXPECT_GT(test::presetAliasDb<float>(342, 44100, test::kAliasToneSets[2], false, [](Processor&) {}), -30.0);
}

// The high-rate work is skipped where the input cannot reach the level and the overshoot has died
// away; the result is the same, value for value, as with no skipping at all (taps whose peak gain
// admits nothing as quiet). Bursts of a loud tone between quiet stretches and silence, each
// stretch long enough to skip, and bursts that only just reach the level.
// The adaptive clipper's path is skipped only once its gain's low-pass has come to rest as well.
TEST(OversampledClipping, SkippingTheHighRateWorkChangesNoValue) {
    const OversamplingTaps& taps = oversamplingTaps();
    auto neverQuiet = std::make_unique<OversamplingTaps>(taps);
    neverQuiet->tailGain = 1e30f;
    auto prepared = std::make_unique<Processor>();
    prepare(*prepared, 48000);
    for (bool adaptive : {false, true}) {
        auto skipping = std::make_unique<ClipOversampler>(), full = std::make_unique<ClipOversampler>();
        AdaptiveClipPath skippingPath = prepared->adaptiveClipPath, fullPath = prepared->adaptiveClipPath;
        const float level = 16000.0f;
        int skippedFrames = 0;
        for (int n = 0; n < 48000; ++n) {
            const int stretch = (n / 700) % 4;  // loud, quiet, just over the level, silent
            const double amplitude =
                stretch == 0 ? 30000.0 : (stretch == 1 ? 2000.0 : (stretch == 2 ? 16100.0 : 0.0));
            const Pair x = Pair{1.0, -0.5} * (amplitude * std::sin(0.37 * n + 0.001 * n * n / 48000.0));
            Pair a, b, overA, overB;
            if (adaptive) {
                overA = stepAdaptiveReduction(*skipping, skippingPath, taps, x, level, &a);
                overB = stepAdaptiveReduction(*full, fullPath, *neverQuiet, x, level, &b);
                if (inputQuiet(*skipping) && adaptivePathAtRest(skippingPath)) ++skippedFrames;
            } else {
                overA = stepOversampledOvershoot(*skipping, taps, x, level, &a);
                overB = stepOversampledOvershoot(*full, *neverQuiet, x, level, &b);
                if (inputQuiet(*skipping)) ++skippedFrames;
            }
            ASSERT_EQ(a[0], b[0]) << n << (adaptive ? " adaptive" : " hard");
            ASSERT_EQ(overA[0], overB[0]) << n << (adaptive ? " adaptive" : " hard");
            ASSERT_EQ(overA[1], overB[1]) << n << (adaptive ? " adaptive" : " hard");
        }
        EXPECT_GT(skippedFrames, 48000 / 4) << (adaptive ? "adaptive" : "hard");
    }
}

// The detectors that rectify at twice the rate: a 9 + 13 kHz pair at 44.1 kHz, rectified at the
// rate, puts its product at 2 (9 + 13) kHz = 44 kHz right under the rate, which folds to 100 Hz,
// where the envelope follows it. Rectified at twice the rate, that line is gone; what is left
// near 0 Hz is the rectified pair's own level. The two-lane detector (the HF limiter's) and the
// four-lane one (the bands', own signal and side chain) agree.
TEST(OversampledClipping, TwiceRateDetectorsKeepAHighPairsProductOutOfTheEnvelope) {
    const int rate = 44100;
    const int k1 = test::toneBin(9000.0, rate), k2 = test::toneBin(13000.0, rate);
    const int folded = std::abs(2 * (k1 + k2) - test::kAliasFrames);
    ASSERT_LT(folded, 60);  // under 160 Hz
    auto pairDetector = std::make_unique<PairDetectorHistory>();
    auto bandDetector = std::make_unique<DetectorHistory>();
    const int frames = test::kAliasFrames + 64;
    std::vector<double> plain(frames), twice(frames);
    for (int n = 0; n < frames; ++n) {
        const double phase = 2.0 * test::kPi * n / test::kAliasFrames;
        const double x = 8000.0 * (std::sin(k1 * phase) + std::sin(k2 * phase + 1.0));
        const double threshold = 1000.0;
        plain[n] = overThreshold(Pair{x, -x}, threshold)[0];
        const Pair t = twiceRateOverThreshold(*pairDetector, Pair{x, -x}, threshold);
        // The side chain half as loud: the own signal decides.
        const Pair b = twiceRateOverThreshold(*bandDetector, Pair{x, -x}, Pair{0.5 * x, 0.5 * x}, threshold);
        ASSERT_EQ(t[0], t[1]) << n;
        ASSERT_EQ(t[0], b[0]) << n;
        ASSERT_EQ(t[0], b[1]) << n;
        twice[n] = t[0];
    }
    // The line at the folded bin against the detector's mean (its level at 0 Hz).
    const auto lineDb = [&](const std::vector<double>& d) {
        std::vector<std::complex<double>> a(test::kAliasFrames);
        for (int n = 0; n < test::kAliasFrames; ++n) {
            const double hann = 0.5 - 0.5 * std::cos(2.0 * test::kPi * n / test::kAliasFrames);
            a[n] = d[frames - test::kAliasFrames + n] * hann;
        }
        test::fft(a);
        double line = 0.0;
        for (int b = folded - 2; b <= folded + 2; ++b) line += std::norm(a[b]);
        return 10.0 * std::log10(line / std::norm(a[0]));
    };
    const double plainDb = lineDb(plain), twiceDb = lineDb(twice);
    EXPECT_GT(plainDb, -30.0);  // -21 dB measured
    EXPECT_LT(twiceDb, -60.0);  // -68 dB measured
}

// On, a signal that reaches no clipper's level and no detector's threshold comes out exactly as
// with the option off, optionsDelayFrames later; the delay adds to the limiter's and to the
// chain's own.
TEST(OversampledClipping, UnclippedSoundIsOnlyDelayedByWhatIsReported) {
    const int rate = 44100;
    std::vector<int16_t> quiet = test::musicLikeSignal(rate, rate, 30000.0, 9);
    for (int16_t& s : quiet) s = static_cast<int16_t>(s / 64);
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, 338);
    p->params.finalClipDb = -6.0;  // far above this signal, but within the knob
    p->params.postClipDb = -6.0;
    prepare(*p, rate);
    const int plainLatency = chainLatencyFrames(*p);
    std::vector<int16_t> off(quiet.size()), on(quiet.size());
    processBlock(*p, static_cast<int32_t>(quiet.size()), quiet.data(), off.data());
    p->settings.oversampledClipping = 1;
    prepare(*p, rate);
    const int delay = optionsDelayFrames(*p);
    EXPECT_EQ(delay, 3 * kOversamplingDelay);
    EXPECT_EQ(chainLatencyFrames(*p), plainLatency + delay);
    processBlock(*p, static_cast<int32_t>(quiet.size()), quiet.data(), on.data());
    for (int i = 0; i < 2 * delay; ++i) ASSERT_EQ(on[i], 0) << i;
    for (size_t i = 0; i + 2 * delay < off.size(); ++i) ASSERT_EQ(on[i + 2 * delay], off[i]) << i;

    p->settings.truePeakLimiter = 1;
    prepare(*p, rate);
    EXPECT_EQ(optionsDelayFrames(*p), delay + truePeakLimiterDelay(p->truePeakLimiter));
}

// Loud music, oversampled: the same output in one block and in odd-sized blocks, and after a reset
// the same as from a fresh processor.
TEST(OversampledClipping, BlocksResetAndSwitching) {
    const int rate = 48000;
    const std::vector<int16_t> loud = test::musicLikeSignal(rate, rate, 32000.0, 3);
    const auto run = [&](Processor& p, int blockSamples) {
        std::vector<int16_t> out(loud.size());
        for (size_t at = 0; at < loud.size(); at += blockSamples) {
            const int32_t count = static_cast<int32_t>(std::min<size_t>(blockSamples, loud.size() - at));
            processBlock(p, count, loud.data() + at, out.data() + at);
        }
        return out;
    };
    const auto fresh = [&] {
        auto p = std::make_unique<Processor>();
        selectPresetById(*p, 342);
        p->settings.oversampledClipping = 1;
        prepare(*p, rate);
        return p;
    };
    auto a = fresh(), b = fresh();
    const std::vector<int16_t> whole = run(*a, static_cast<int>(loud.size()));
    EXPECT_EQ(run(*b, 2 * 777), whole);
    reset(*b);
    prepare(*b, rate);
    EXPECT_EQ(run(*b, 8192), whole);

    // Switched on in the middle of a song, the AGC's heard gains start from the gains the AGC has
    // reached (which move at a tenth of a hertz), not from 1: no burst of up to 9 dB.
    auto c = fresh();
    c->settings.oversampledClipping = 0;
    run(*c, 4096);
    const double low = c->params.agcLowReduction, high = c->params.agcHighReduction;
    ASSERT_GT(high, 1000.0);
    c->settings.oversampledClipping = 1;
    std::vector<int16_t> out(2 * 480);
    processBlock(*c, static_cast<int32_t>(out.size()), loud.data(), out.data());
    EXPECT_NEAR(c->agcHeardGain[0], 1.0 - low / 23169.0, 0.005);
    EXPECT_NEAR(c->agcHeardGain[1], 1.0 - high / 23169.0, 0.005);
}

// The switch is a sound parameter like the others (so --set and the plugins' controls have it);
// in bypass it adds no delay and the input comes through as bypass gives it.
TEST(OversampledClipping, SettableAndBypassed) {
    const int rate = 44100;
    auto plain = std::make_unique<Processor>(), touched = std::make_unique<Processor>();
    std::string error;
    ASSERT_TRUE(setSoundParameter(*touched, "oversampledClipping", 1, error)) << error;
    EXPECT_EQ(touched->settings.oversampledClipping, 1);
    EXPECT_FALSE(setSoundParameter(*touched, "oversampledClipping", 2, error));
    plain->settings.bypass = touched->settings.bypass = 1;
    prepare(*plain, rate);
    prepare(*touched, rate);
    EXPECT_EQ(optionsDelayFrames(*touched), 0);
    const std::vector<int16_t> in = test::twoLoudTones(rate, rate / 2);
    std::vector<int16_t> a(in.size()), b(in.size());
    processBlock(*plain, static_cast<int32_t>(in.size()), in.data(), a.data());
    processBlock(*touched, static_cast<int32_t>(in.size()), in.data(), b.data());
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace loudara

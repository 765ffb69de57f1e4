// Oversampled clipping: the final clipper and the post clip take their overshoot at four times
// the rate. A stepped sweep of loud tones through each stage leaves nothing below the band edge
// but the tone's own harmonics; through the chain, the clippers add no alias to any preset's
// tones; the added delay is exactly what the processor reports; off, nothing changes.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "alias_measure.h"
#include "measure.h"
#include "processor/level_stages.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"

// The clippers' 8-lane high-rate frames pass between inline functions only.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {
namespace {

constexpr double kAliasLimitDb = -50.0;

enum class Stage { HardFinalClipper, AdaptiveFinalClipper, PostClip };

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
    for (int n = 0; n < frames; ++n) {
        const double s = 32000.0 * std::sin(2.0 * test::kPi * double(k) * n / test::kAliasFrames);
        Pair y;
        if (stage == Stage::PostClip) {
            y = oversampled ? oversampledPostClip(*p, v, Pair{s, -s}) : postClip(*p, v, Pair{s, -s});
        } else {
            y = oversampled ? oversampledFinalClipper(*p, v, Pair{s, -s}) : finalClipper(*p, v, Pair{s, -s});
        }
        if (y[0] != -y[1]) ADD_FAILURE() << "the channels differ at frame " << n;
        out[n] = y[0];
    }
    const int maxBin = static_cast<int>(bandEdgeHz * test::kAliasFrames / rate);
    return test::aliasRatioDb(out, k, 0, maxBin);
}

TEST(OversampledClipping, SweepThroughEachClipperLeavesNoAliasBelowTheBandEdge) {
    for (int rate : {44100, 48000}) {
        for (Stage stage : {Stage::HardFinalClipper, Stage::AdaptiveFinalClipper, Stage::PostClip}) {
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

// On, a signal that never reaches either clipper's level comes out exactly as with the option off,
// optionsDelayFrames later; the delay adds to the limiter's and to the chain's own.
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
    EXPECT_EQ(delay, 2 * kOversamplingDelay);
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

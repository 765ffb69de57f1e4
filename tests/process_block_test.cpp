// The whole chain through processBlock: delays of its switchable parts, bypass and channel
// selection, the emphasis switch, block-size invariance, every preset at every rate and the
// knobs at their extremes.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "measure.h"
#include "processor/processor.h"

namespace loudara {
namespace {

std::vector<int16_t> process(Processor& p, const std::vector<int16_t>& in) {
    std::vector<int16_t> out(in.size());
    processBlock(p, int32_t(in.size()), in.data(), out.data());
    return out;
}

int largestMagnitude(const std::vector<int16_t>& x) {
    int m = 0;
    for (int16_t v : x) m = std::max(m, std::abs(int(v)));
    return m;
}

// The meters, reductions and band signals must all be numbers after any input.
void expectFiniteState(const Processor& p) {
    std::array<double, sizeof(ProcessorParams) / sizeof(double)> params;
    static_assert(sizeof params == sizeof(ProcessorParams));
    std::memcpy(params.data(), &p.params, sizeof params);
    for (size_t k = 0; k < params.size(); ++k) EXPECT_TRUE(std::isfinite(params[k])) << "parameter field " << k;
    for (int b = 0; b < kBandCount; ++b) {
        const BandSettings& s = p.bands[b];
        for (double x : {s.inputL, s.inputR, s.outputL, s.outputR, s.reduction, s.delayedReduction, s.reductionPeak,
                         s.preReductionL, s.preReductionR, s.gateGain}) {
            EXPECT_TRUE(std::isfinite(x)) << "band " << b;
        }
        EXPECT_LE(s.reductionPeak, 31743.0) << "band " << b;
    }
}

// A chain whose bands neither reduce nor clip small signals (drive 0 dB, threshold 0 dB), with
// the switches that add delay set as given and the de-emphasis off.
std::unique_ptr<Processor> quietChain(double preEmphasis, double clipType, double finalLowpass) {
    auto p = std::make_unique<Processor>();
    for (BandSettings& band : p->bands) band.driveDb = band.thresholdDb = 0;
    p->params.preEmphasis = preEmphasis;
    p->settings.deEmphasisOn = 0;
    p->params.clipType = clipType;
    p->settings.finalLowpass = finalLowpass;
    selectFinalLowpass(*p);
    return p;
}

// A click on both channels at frame 0, well below every threshold of the quiet chain.
std::vector<int16_t> click(int frames) {
    std::vector<int16_t> x(2 * size_t(frames), 0);
    x[0] = x[1] = 3000;
    return x;
}

TEST(ChainDelay, NothingLeavesBeforeTheDelayLinesHaveRun) {
    // Every path runs through the bands' 898 frames, the emphasis lines' 65 and the adaptive
    // clipper's 2; the click's first non-zero output frame shows their sum.
    const struct {
        double preEmphasis, clipType;
        int firstFrame;
    } cases[] = {{0, 1, 898}, {2, 1, 963}, {1, 1, 963}, {0, 0, 900}, {2, 0, 965}};
    for (const auto& c : cases) {
        auto p = quietChain(c.preEmphasis, c.clipType, 0);
        EXPECT_EQ(test::firstNonZero(test::channelOf(process(*p, click(3000)), 0)), c.firstFrame) << "preEmphasis " << c.preEmphasis << " clipType " << c.clipType;
    }
}

TEST(ChainDelay, EachSwitchAddsExactlyItsDelay) {
    const auto base = test::channelOf(process(*quietChain(0, 1, 0), click(4000)), 0);
    const struct {
        double preEmphasis, clipType, finalLowpass;
        int lag;
    } cases[] = {{2, 1, 0, 65}, {1, 1, 0, 65}, {0, 0, 0, 2}, {0, 1, 1, 11}, {0, 1, 2, 11}, {2, 0, 1, 78}};
    for (const auto& c : cases) {
        const auto out = test::channelOf(process(*quietChain(c.preEmphasis, c.clipType, c.finalLowpass), click(4000)), 0);
        EXPECT_EQ(test::bestLag(out, base, -20, 120), c.lag)
            << "preEmphasis " << c.preEmphasis << " clipType " << c.clipType << " finalLowpass " << c.finalLowpass;
    }
    // Without clipping the adaptive clipper is a pure 2-frame delay: music comes out sample for
    // sample the same, only later.
    const auto music = test::musicLikeSignal(20000, 44100, 3000);
    const auto hard = process(*quietChain(0, 1, 0), music);
    const auto adaptive = process(*quietChain(0, 0, 0), music);
    const std::vector<int16_t> hardTail(hard.begin(), hard.end() - 4), adaptiveTail(adaptive.begin() + 4, adaptive.end());
    EXPECT_EQ(test::firstDifference(hardTail, adaptiveTail), -1);
}

TEST(Bypass, PassesTheInputPlusDitherTruncatedTowardZero) {
    // Constant -1000 left, +1000 right: the dither lifts the left one step whenever it is not 0.
    auto p = std::make_unique<Processor>();
    p->settings.bypass = 1;
    std::vector<int16_t> in(2 * 10000);
    for (size_t i = 0; i < in.size(); i += 2) in[i] = -1000, in[i + 1] = 1000;
    const auto out = process(*p, in);
    int lifted = 0, unchanged = 0;
    for (size_t i = 0; i < out.size(); i += 2) {
        lifted += out[i] == -999;
        unchanged += out[i] == -1000;
        ASSERT_EQ(out[i + 1], 1000) << "frame " << i / 2;
    }
    EXPECT_EQ(lifted + unchanged, 10000) << "a left sample moved by more than one step or away from zero";
    EXPECT_GT(lifted, 9800);
    EXPECT_GT(unchanged, 0);

    // Music, in every channel mode: both channels pass, negatives at most one step up.
    const auto music = test::musicLikeSignal(20000, 44100);
    for (double mode : {0.0, 1.0, 2.0}) {
        auto q = std::make_unique<Processor>();
        q->settings.bypass = 1;
        q->settings.channelMode = mode;
        const auto o = process(*q, music);
        int liftedL = 0, liftedR = 0;
        for (size_t i = 0; i < o.size(); ++i) {
            const int step = o[i] - music[i];
            const bool oneStepUpAtMost = music[i] < 0 ? (step == 0 || step == 1) : step == 0;
            ASSERT_TRUE(oneStepUpAtMost) << "mode " << mode << " sample " << i << ": " << music[i] << " -> " << o[i];
            (i % 2 ? liftedR : liftedL) += step;
        }
        EXPECT_GT(liftedL, 0) << "mode " << mode;
        EXPECT_GT(liftedR, 0) << "mode " << mode;
    }
}

TEST(ChannelMode, SilencesOneInputOutsideBypass) {
    // Mode 0 must sound exactly like a silent right input, mode 2 like a silent left one.
    const auto music = test::musicLikeSignal(44100, 44100);
    for (int silenced : {1, 0}) {
        auto one = music;
        for (size_t i = silenced; i < one.size(); i += 2) one[i] = 0;
        auto reference = std::make_unique<Processor>();
        auto selected = std::make_unique<Processor>();
        selected->settings.channelMode = silenced == 1 ? 0.0 : 2.0;
        const auto expected = process(*reference, one);
        EXPECT_EQ(test::firstDifference(process(*selected, music), expected), -1) << "silenced channel " << silenced;
        EXPECT_GT(largestMagnitude(expected), 10000);
    }
}

TEST(PreEmphasis, OnlyExactlyOneOrTwoSwitchesTheEmphasisPath) {
    const auto bright = test::whiteNoise(44100, 16000);
    for (double emphasis : {0.0, 1.5, 1.0, 2.0}) {
        auto p = std::make_unique<Processor>();
        p->params.preEmphasis = emphasis;
        p->params.hfLimitThresholdDb = -24;
        p->params.hfLimitDepthDb = 24;
        p->params.hfLimitPeak = 7;
        process(*p, bright);
        if (emphasis == 1.0 || emphasis == 2.0) {
            EXPECT_GT(p->params.hfLimitPeak, 1000.0) << "preEmphasis " << emphasis;
        } else {
            EXPECT_EQ(p->params.hfLimitPeak, 7.0) << "preEmphasis " << emphasis;
            EXPECT_EQ(p->params.hfReductionL, 0.0);
            EXPECT_EQ(p->params.hfFeedbackL, 0.0);
        }
    }
    // Without emphasis the HF limiter and the de-emphasis settings change no output byte.
    auto chain = [&bright](double emphasis, bool limiterAndDeEmphasis) {
        auto p = std::make_unique<Processor>();
        p->params.preEmphasis = emphasis;
        p->settings.deEmphasisOn = limiterAndDeEmphasis;
        p->params.hfLimitThresholdDb = limiterAndDeEmphasis ? -32 : 0;
        p->params.hfLimitDepthDb = limiterAndDeEmphasis ? 48 : 0;
        return process(*p, bright);
    };
    EXPECT_EQ(test::firstDifference(chain(0, true), chain(0, false)), -1);
    EXPECT_NE(test::firstDifference(chain(2, true), chain(2, false)), -1);

    // 1.5 sounds like 0. Its truncated reading (1) still picks the emphasis side-chain factors of
    // bands 4 and 5, so keep those bands' detectors out of play for the comparison.
    auto sideChainsIdle = [](double emphasis) {
        auto p = std::make_unique<Processor>();
        p->params.preEmphasis = emphasis;
        for (int b = 3; b < kBandCount; ++b) p->bands[b].driveDb = p->bands[b].thresholdDb = 0;
        return process(*p, test::whiteNoise(44100, 8000));
    };
    EXPECT_EQ(test::firstDifference(sideChainsIdle(1.5), sideChainsIdle(0)), -1);
    EXPECT_NE(test::firstDifference(sideChainsIdle(1.5), sideChainsIdle(1)), -1);
}

TEST(BlockSplit, AnyBlockSizeAndInPlaceGiveTheSameBytes) {
    const auto music = test::musicLikeSignal(20 * 44100, 44100);
    auto whole = std::make_unique<Processor>();
    const auto reference = process(*whole, music);

    auto inBlocks = [&music](const std::vector<int>& framesPerBlock, bool inPlace) {
        auto p = std::make_unique<Processor>();
        std::vector<int16_t> out(music.size(), 0x5A5A);
        if (inPlace) out = music;
        size_t at = 0;
        for (size_t k = 0; at < music.size(); ++k) {
            const size_t n = std::min(size_t(2 * framesPerBlock[k % framesPerBlock.size()]), music.size() - at);
            processBlock(*p, int32_t(n), (inPlace ? out.data() : music.data()) + at, out.data() + at);
            at += n;
        }
        return out;
    };
    EXPECT_EQ(test::firstDifference(inBlocks({4096}, false), reference), -1);
    EXPECT_EQ(test::firstDifference(inBlocks({1001, 7, 4095, 1, 333, 2048}, false), reference), -1);
    EXPECT_EQ(test::firstDifference(inBlocks({4096}, true), reference), -1);
    EXPECT_EQ(test::firstDifference(inBlocks({16384, 3}, true), reference), -1);
}

TEST(BlockSplit, OddCountsIgnoreTheLastSampleAndEmptyBlocksDoNothing) {
    const auto music = test::musicLikeSignal(4000, 44100);
    const int16_t kSentinel = 0x5A5A;

    // 2001 samples: 1000 frames, the 2001st input sample unread and its output slot untouched.
    auto odd = std::make_unique<Processor>();
    auto even = std::make_unique<Processor>();
    std::vector<int16_t> oddOut(4000, kSentinel), evenOut(4000, kSentinel);
    auto changedInput = music;
    changedInput[2000] = -12345;
    processBlock(*odd, 2001, changedInput.data(), oddOut.data());
    processBlock(*even, 2000, music.data(), evenOut.data());
    EXPECT_EQ(oddOut[2000], kSentinel);
    EXPECT_EQ(test::firstDifference(oddOut, evenOut), -1);
    // Both continue from frame 1000 identically: the odd sample was not consumed.
    std::vector<int16_t> oddRest(6000), evenRest(6000);
    processBlock(*odd, 6000, music.data() + 2000, oddRest.data());
    processBlock(*even, 6000, music.data() + 2000, evenRest.data());
    EXPECT_EQ(test::firstDifference(oddRest, evenRest), -1);

    // 0, 1 and negative counts write nothing and leave the processor as it was.
    auto idle = std::make_unique<Processor>();
    std::vector<int16_t> untouched(8, kSentinel);
    for (int32_t count : {0, 1, -1, -2, -8192}) processBlock(*idle, count, music.data(), untouched.data());
    EXPECT_EQ(test::firstDifference(untouched, std::vector<int16_t>(8, kSentinel)), -1);
    EXPECT_EQ(idle->params.inputPeakL, 0.0);
    EXPECT_EQ(idle->params.outputPeakL, 0.0);
    auto fresh = std::make_unique<Processor>();
    EXPECT_EQ(test::firstDifference(process(*idle, music), process(*fresh, music)), -1);
}

// Output level change of a preset on a music-like signal, in dB of RMS after the first second.
double presetGainDb(const BuiltinPreset& preset, int rate, const std::vector<int16_t>& music) {
    auto p = std::make_unique<Processor>();
    applyPreset(*p, preset.record);
    prepareForSong(*p, rate);
    const auto out = process(*p, music);
    expectFiniteState(*p);
    EXPECT_LE(largestMagnitude(out), 32760);
    EXPECT_GT(p->params.inputPeakL * p->params.inputPeakR, 0.0);
    EXPECT_GT(p->params.outputPeakL * p->params.outputPeakR, 0.0);
    return test::toDb(test::rmsOf(out, rate) / test::rmsOf(music, rate));
}

TEST(Presets, EveryPresetAtEveryRateStaysFiniteBoundedAndLouder) {
    for (int rate : {48000, 44100, 32000}) {
        const auto moderate = test::musicLikeSignal(5 * rate, rate, 16000);  // about -19.5 dBFS RMS
        const std::vector<int16_t> silence(2 * size_t(rate), 0);
        for (const BuiltinPreset& preset : builtinPresets()) {
            SCOPED_TRACE(testing::Message() << "preset " << preset.commandId << " at " << rate);
            EXPECT_GT(presetGainDb(preset, rate, moderate), 4.0);

            // Digital silence: only the dither goes in, next to nothing comes out.
            auto q = std::make_unique<Processor>();
            applyPreset(*q, preset.record);
            prepareForSong(*q, rate);
            EXPECT_LE(largestMagnitude(process(*q, silence)), 2);
            expectFiniteState(*q);
        }
    }
    // A loud input (about -13.5 dBFS RMS) still comes out louder, except from the two talk
    // presets: their -36 dB AGC holds the output near -14 dBFS RMS whatever comes in.
    const auto loud = test::musicLikeSignal(5 * 44100, 44100, 32000);
    for (const BuiltinPreset& preset : builtinPresets()) {
        SCOPED_TRACE(testing::Message() << "preset " << preset.commandId << " loud");
        const bool talk = preset.commandId == 334 || preset.commandId == 335;
        EXPECT_GT(presetGainDb(preset, 44100, loud), talk ? -1.0 : 0.0);
    }
}

// Every knob at the end of its range, every switch on.
void setAllKnobs(Processor& p, bool maximum) {
    auto pick = [maximum](double low, double high) { return maximum ? high : low; };
    for (BandSettings& band : p.bands) {
        band.driveDb = band.depthDb = pick(0, 24);
        band.thresholdDb = pick(-32, 0);
        band.clipDb = pick(-24, 6);
        band.outputDb = pick(-96, 3);
        band.gateDb = pick(-60, -12);
    }
    p.bands[0].reductionDelayMs = pick(0, 100);
    ProcessorParams& r = p.params;
    r.agcThresholdDb = pick(-36, 0), r.agcDepthDb = pick(0, 24), r.agcSpeed = pick(1, 4);
    r.enhancerDepthDb = pick(-48, 0), r.enhancerDelayMs = pick(1, 50), r.enhancerMode = pick(1, 5);
    r.bandReleaseTime = r.bandAttackTime = pick(1, 5);
    r.finalClipDb = pick(-24, 0), r.postClipDb = pick(-24, 6), r.clipType = pick(0, 1);
    r.bassClipMode = pick(0, 2), r.preEmphasis = pick(0, 2);
    r.hfLimitThresholdDb = pick(-32, 0), r.hfLimitDepthDb = pick(0, 48);
    ProcessorSettings& s = p.settings;
    s.channelMode = pick(0, 2), s.finalLowpass = pick(0, 6), s.normalizeGain = pick(1, 16);
    s.bassEqGainDb = pick(0, 12), s.bassEqFreqHz = pick(50, 150), s.bassEqQ = pick(0.2, 2.0);
    s.speakerSpacingCm = pick(1, 30), s.roomDistanceM = pick(2, 34), s.reflectionPercent = pick(0, 100);
    s.gateOn = s.virtualSpeakerOn = s.enhancerOn = s.phaseShifterOn = s.deEmphasisOn = 1;
    s.bassEqOff = 0;
    selectEnvelopeTimes(p);
    selectFinalLowpass(p);
    designBassEq(p);
}

TEST(Extremes, EveryKnobAtItsMinimumAndMaximumStaysBounded) {
    for (int rate : {48000, 32000}) {
        const auto noise = test::whiteNoise(10 * rate, 32767);
        for (bool maximum : {false, true}) {
            SCOPED_TRACE(testing::Message() << (maximum ? "maximum" : "minimum") << " at " << rate);
            auto p = std::make_unique<Processor>();
            prepareForSong(*p, rate);
            setAllKnobs(*p, maximum);
            const auto out = process(*p, noise);
            EXPECT_LE(largestMagnitude(out), 32760);
            // At the maximum, still a signal at the end rather than a rail: noise in gives many
            // different values out. (At the minimum, -96 dB band outputs leave next to silence.)
            const std::set<int16_t> values(out.end() - 2 * rate, out.end());
            EXPECT_GT(values.size(), maximum ? 100u : 0u);
            // Fails at the maximum: with hfLimitDepthDb 48 the HF limiter's reduction overshoots
            // 23169, its gain turns negative and the feedback runs away to inf/NaN within 10 ms.
            expectFiniteState(*p);
        }
    }
}

}  // namespace
}  // namespace loudara

// Preset application, state clears and preparation for a song. The stages themselves are checked
// sample for sample against the plain model (reference_chain_test).

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
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

// Response of the installed bass EQ (left lane) at hz, from a steady sine measured over a whole
// number of its periods.
std::complex<double> bassEqResponse(const Processor& p, double hz, double rate) {
    StereoBiquad eq = p.bassEq;
    clearState(eq);
    const double w = 2.0 * test::kPi * hz / rate;
    const int settle = int(rate), n = int(std::lround(200.0 * rate / hz));
    std::complex<double> acc = 0.0;
    for (int i = 0; i < settle + n; ++i) {
        const double y = step(eq, Pair{1, 1} * std::cos(w * i))[0];
        if (i >= settle) acc += y * std::polar(1.0, -w * i);
    }
    return 2.0 * acc / double(n);
}

TEST(Presets, LeaveGatesChannelModeAndVirtualSpeakerAlone) {
    for (const BuiltinPreset& preset : builtinPresets()) {
        auto p = std::make_unique<Processor>();
        for (int b = 0; b < kBandCount; ++b) p->bands[b].gateDb = -47.5 - b;
        ProcessorSettings& s = p->settings;
        s.gateOn = s.virtualSpeakerOn = s.bypass = 1;
        s.channelMode = 2, s.normalizeGain = 3.5;
        s.speakerSpacingCm = 7.5, s.roomDistanceM = 23, s.reflectionPercent = 81;
        applyPreset(*p, preset.record);
        SCOPED_TRACE(testing::Message() << "preset " << preset.commandId);
        EXPECT_STREQ(s.presetDescription, preset.record.description);
        for (int b = 0; b < kBandCount; ++b) EXPECT_EQ(p->bands[b].gateDb, -47.5 - b);
        EXPECT_TRUE(s.gateOn == 1 && s.virtualSpeakerOn == 1 && s.bypass == 1);
        EXPECT_TRUE(s.channelMode == 2.0 && s.normalizeGain == 3.5);
        EXPECT_TRUE(s.speakerSpacingCm == 7.5 && s.roomDistanceM == 23.0 && s.reflectionPercent == 81.0);
    }
}

TEST(Presets, BassEqIsDesignedFor44100UntilTheNextSongIsPrepared) {
    // The default record's EQ: +6 dB at 60 Hz. Designed for 44100 but run at 48000, its peak
    // (gain +6 dB, phase 0) moves up to 60 * 48000/44100 = 65.3 Hz.
    auto p = std::make_unique<Processor>();
    prepareForSong(*p, 48000);
    EXPECT_EQ(p->settings.bassEqSampleRate, 48000.0);
    selectPresetById(*p, 232);
    EXPECT_EQ(p->settings.bassEqSampleRate, 44100.0);
    const double shiftedHz = 60.0 * 48000.0 / 44100.0;
    auto peakAt = [&p](double hz) {
        const auto atPeak = bassEqResponse(*p, hz, 48000);
        EXPECT_NEAR(test::toDb(std::abs(atPeak)), 6.0, 0.01) << hz << " Hz";
        EXPECT_NEAR(std::arg(atPeak), 0.0, 0.005) << hz << " Hz";
    };
    auto offPeak = [&p](double hz) {
        const auto off = bassEqResponse(*p, hz, 48000);
        EXPECT_LT(test::toDb(std::abs(off)), 5.95) << hz << " Hz";
        EXPECT_GT(std::fabs(std::arg(off)), 0.02) << hz << " Hz";
    };
    peakAt(shiftedHz);
    offPeak(60.0);

    prepareForSong(*p, 48000);
    EXPECT_EQ(p->settings.bassEqSampleRate, 48000.0);
    peakAt(60.0);
    offPeak(shiftedHz);
}

TEST(Lifecycle, InitVirtualSpeakerSetsItsValuesButNotTheSwitch) {
    for (int on : {0, 1}) {
        auto p = std::make_unique<Processor>();
        ProcessorSettings& s = p->settings;
        s.virtualSpeakerOn = on;
        s.speakerSpacingCm = 3, s.roomDistanceM = 30, s.reflectionPercent = 5, s.channelMode = 2;
        initVirtualSpeaker(*p);
        EXPECT_TRUE(s.speakerSpacingCm == 18.0 && s.roomDistanceM == 10.0 && s.reflectionPercent == 40.0);
        EXPECT_EQ(s.channelMode, 1.0);
        EXPECT_EQ(s.virtualSpeakerOn, on);
    }
}

TEST(Lifecycle, ClearProcessorStateZeroesMetersFlagsAndReductions) {
    auto p = std::make_unique<Processor>();
    p->settings.gateOn = p->settings.virtualSpeakerOn = 1;
    p->params.hfLimitThresholdDb = -24;
    p->params.hfLimitDepthDb = 24;
    process(*p, test::musicLikeSignal(3 * 44100, 44100, 32000));
    p->params.hfReductionHold = 99;
    p->settings.clipFlagL = p->settings.clipFlagR = 1;
    ProcessorParams& r = p->params;
    ASSERT_GT(r.inputPeakL * r.outputPeakR * r.agcLowReduction * r.hfLimitPeak * r.enhancerPeak, 0.0);
    ASSERT_GT(p->bands[2].reduction * p->bands[2].reductionPeak, 0.0);

    clearProcessorState(*p);
    for (const BandSettings& b : p->bands) {
        for (double x : {b.inputL, b.inputR, b.outputL, b.outputR, b.reduction, b.reductionPeak, b.preReductionL,
                         b.preReductionR}) {
            EXPECT_EQ(x, 0.0);
        }
        EXPECT_EQ(b.clipFlag, 0);
    }
    for (double x : {r.agcLowReduction, r.agcHighReduction, r.inputPeakL, r.inputPeakR, r.outputPeakL, r.outputPeakR,
                     r.enhancerPeak, r.hfLimitPeak, r.hfReductionHold, r.hfReductionL, r.hfReductionR, r.hfFeedbackL,
                     r.hfFeedbackR}) {
        EXPECT_EQ(x, 0.0);
    }
    EXPECT_EQ(p->settings.clipFlagL, 0);
    EXPECT_EQ(p->settings.clipFlagR, 0);
}

TEST(Lifecycle, ResetAndPrepareSoundLikeAFreshProcessor) {
    // The calls between two songs of continuous playback, then a song at another rate.
    for (bool extras : {false, true}) {
        auto setUp = [extras](Processor& p) {
            p.settings.virtualSpeakerOn = p.settings.gateOn = extras;
        };
        auto used = std::make_unique<Processor>();
        setUp(*used);
        process(*used, test::musicLikeSignal(3 * 44100, 44100, 32000));
        clearEnhancerDelay(*used);
        clearBandMemory(*used);
        resetProcessor(*used);
        clearProcessorState(*used);
        prepareForSong(*used, 48000);

        auto fresh = std::make_unique<Processor>();
        setUp(*fresh);
        prepareForSong(*fresh, 48000);
        const auto song = test::musicLikeSignal(3 * 48000, 48000, 20000, 2);
        // With the virtual speaker on too: a fresh processor has its speaker filters installed,
        // just as the state clear between songs leaves them.
        EXPECT_EQ(test::firstDifference(process(*used, song), process(*fresh, song)), -1)
            << (extras ? "virtual speaker and gates on" : "default preset");
    }
}

TEST(Lifecycle, ResetThenPrepareLeaveNothingOfTheStreamBefore) {
    // Enhancer, virtual speaker and gates all on, so that every delay memory holds the first
    // stream's tail when the second one starts at another rate.
    auto setUp = [](Processor& p) {
        p.settings.enhancerOn = p.settings.virtualSpeakerOn = p.settings.gateOn = 1;
    };
    auto used = std::make_unique<Processor>();
    setUp(*used);
    prepare(*used, 44100);
    process(*used, test::musicLikeSignal(3 * 44100, 44100, 32000));
    reset(*used);
    prepare(*used, 48000);

    auto fresh = std::make_unique<Processor>();
    setUp(*fresh);
    prepare(*fresh, 48000);
    const auto song = test::musicLikeSignal(3 * 48000, 48000, 20000, 2);
    EXPECT_EQ(test::firstDifference(process(*used, song), process(*fresh, song)), -1);
}

}  // namespace
}  // namespace loudara

// processBlock beside the plain one-frame-at-a-time model of the chain (reference_chain.h): the
// same samples, meters, reductions and flags after every block, over every preset at every rate
// and the switches and extreme settings that change the chain's path.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "measure.h"
#include "processor/processor.h"
#include "reference_chain.h"

namespace loudara {
namespace {

struct ChainCase {
    std::string name;
    int rate = 44100;
    int preset = 232;
    std::function<void(Processor&)> setup;
    double peak = 24000;
    bool rampUp = false;                  // the signal swells from silence to the peak
    std::vector<int32_t> blockSamples{8192};  // sample counts handed to processBlock, in turn
};
void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

// The first field in which the processor and the model differ, or "".
std::string firstStateDifference(const Processor& p, const reference::Chain& m) {
    auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    constexpr size_t kParams = sizeof(ProcessorParams) / sizeof(double);
    double a[kParams], b[kParams];
    std::memcpy(a, &p.params, sizeof a);
    std::memcpy(b, &m.params, sizeof b);
    for (size_t k = 0; k < kParams; ++k) {
        if (!same(a[k], b[k])) return "parameter record field " + std::to_string(k);
    }
    if (p.settings.clipFlagL != m.settings.clipFlagL || p.settings.clipFlagR != m.settings.clipFlagR) return "clip flags";
    if (!same(p.settings.normalizeGain, m.settings.normalizeGain)) return "normalizeGain";
    for (int b = 0; b < kBandCount; ++b) {
        const BandSettings &x = p.bands[b], &y = m.bands[b];
        const double xs[] = {x.inputL, x.inputR, x.outputL, x.outputR, x.reduction, x.reductionPeak,
                             x.preReductionL, x.preReductionR, x.gateGain, x.delayedReduction};
        const double ys[] = {y.inputL, y.inputR, y.outputL, y.outputR, y.reduction, y.reductionPeak,
                             y.preReductionL, y.preReductionR, y.gateGain, y.delayedReduction};
        for (size_t k = 0; k < std::size(xs); ++k) {
            if (!same(xs[k], ys[k])) return "band " + std::to_string(b) + " value " + std::to_string(k);
        }
        if (x.clipFlag != y.clipFlag || x.gateState != y.gateState || x.lookAheadLength != y.lookAheadLength) {
            return "band " + std::to_string(b) + " flag, gate state or look-ahead";
        }
    }
    return "";
}

class ReferenceChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ReferenceChain, ProcessBlockMatchesTheModelSampleForSample) {
    const ChainCase& c = GetParam();
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, c.preset);
    if (c.setup) c.setup(*p);
    prepareForSong(*p, c.rate);
    auto m = std::make_unique<reference::Chain>();
    std::memcpy(static_cast<void*>(m->bands), p->bands, sizeof m->bands);
    m->params = p->params;
    m->settings = p->settings;
    m->prepare(c.rate);

    const int frames = c.rate * 6 / 5;
    auto in = test::musicLikeSignal(frames, c.rate, c.peak, 3);
    if (c.rampUp) {
        for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(in[i] * (double(i) / double(in.size())));
    }
    std::vector<int16_t> got(in.size(), 0x5A5A), want(in.size(), 0x5A5A);
    size_t at = 0;
    int changed = 0;
    for (size_t k = 0; at < in.size(); ++k) {
        const int32_t asked = c.blockSamples[k % c.blockSamples.size()];
        const int32_t count = int32_t(std::min<size_t>(size_t(asked), in.size() - at));
        processBlock(*p, count, in.data() + at, got.data() + at);
        m->process(count, in.data() + at, want.data() + at);
        const size_t used = size_t(count / 2 * 2);
        for (size_t i = at; i < at + size_t(count); ++i) {
            if (got[i] != want[i]) FAIL() << "sample " << i << " (frame " << i / 2 << "): " << got[i] << ", model " << want[i];
            changed += got[i] != in[i];
        }
        const std::string difference = firstStateDifference(*p, *m);
        ASSERT_EQ(difference, "") << "after the block ending at frame " << (at + used) / 2;
        // The display clears the flags it has shown, so each block's flags are its own.
        p->settings.clipFlagL = p->settings.clipFlagR = m->settings.clipFlagL = m->settings.clipFlagR = 0;
        for (int b = 0; b < kBandCount; ++b) p->bands[b].clipFlag = m->bands[b].clipFlag = 0;
        at += used;
    }
    // Not a chain that lets everything through unchanged or mutes it.
    EXPECT_GT(changed, frames / 2);
    for (const BandSettings& band : p->bands) {
        EXPECT_TRUE(std::isfinite(band.reduction) && std::isfinite(band.outputL) && std::isfinite(band.outputR));
    }
    EXPECT_TRUE(std::isfinite(p->params.agcLowReduction) && std::isfinite(p->params.hfFeedbackL));
}

// Every knob at the end of its range, every switch on.
void allKnobs(Processor& p, bool maximum) {
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
}

std::vector<ChainCase> chainCases() {
    std::vector<ChainCase> cases;
    for (int rate : {32000, 44100, 48000}) {
        for (const BuiltinPreset& preset : builtinPresets()) {
            cases.push_back({"preset" + std::to_string(preset.commandId) + "at" + std::to_string(rate), rate,
                             preset.commandId, nullptr});
        }
    }
    auto add = [&cases](std::string name, std::function<void(Processor&)> setup, int rate = 44100, int preset = 232) {
        cases.push_back({std::move(name), rate, preset, std::move(setup)});
        return &cases.back();
    };
    add("gates", [](Processor& p) {
        p.settings.gateOn = 1;
        for (int b = 0; b < kBandCount; ++b) p.bands[b].gateDb = -12 - 3 * b;
    });
    cases.back().rampUp = true;
    cases.back().blockSamples = {128};  // gate states compared every 64 frames
    add("gatesLoud", [](Processor& p) { p.settings.gateOn = 1; }, 48000, 340)->peak = 32000;
    add("virtualSpeaker", [](Processor& p) { p.settings.virtualSpeakerOn = 1; });
    add("virtualSpeakerFar", [](Processor& p) {
        ProcessorSettings& s = p.settings;
        s.virtualSpeakerOn = 1, s.speakerSpacingCm = 30, s.roomDistanceM = 34, s.reflectionPercent = 100;
    }, 48000);
    add("virtualSpeakerNear", [](Processor& p) {
        ProcessorSettings& s = p.settings;
        s.virtualSpeakerOn = 1, s.speakerSpacingCm = 1, s.roomDistanceM = 2, s.reflectionPercent = 0;
    }, 32000, 336);
    add("hardClipper", [](Processor& p) { p.params.clipType = 1; })->peak = 32767;
    add("hardClipperNoEmphasis", [](Processor& p) { p.params.clipType = 1; }, 48000, 337)->peak = 32767;
    add("overFlags", [](Processor& p) {
        p.params.clipType = 1, p.params.finalClipDb = 0, p.params.postClipDb = 0, p.params.preEmphasis = 0;
        p.settings.finalLowpass = 0;
    })->blockSamples = {256};
    add("adaptiveClipperLow", [](Processor& p) { p.params.finalClipDb = -12; }, 44100, 338)->peak = 32767;
    for (double emphasis : {0.0, 1.0, 1.5, 2.0}) {
        for (int deEmphasis : {0, 1}) {
            add("preEmphasis" + std::to_string(int(emphasis * 10)) + "deEmphasis" + std::to_string(deEmphasis),
                [emphasis, deEmphasis](Processor& p) {
                    p.params.preEmphasis = emphasis;
                    p.settings.deEmphasisOn = deEmphasis;
                    p.params.hfLimitThresholdDb = -24;
                    p.params.hfLimitDepthDb = 24;
                })->peak = 30000;
        }
    }
    add("emphasis50at48000", [](Processor& p) { p.params.preEmphasis = 1; }, 48000, 341);
    add("emphasis50at32000", [](Processor& p) { p.params.preEmphasis = 1; }, 32000, 342);
    add("leftOnly", [](Processor& p) { p.settings.channelMode = 0; });
    add("rightOnly", [](Processor& p) { p.settings.channelMode = 2; });
    add("bypass", [](Processor& p) { p.settings.bypass = 1; });
    add("bypassRightOnly", [](Processor& p) { p.settings.bypass = 1, p.settings.channelMode = 2; });
    add("envelopeTimes1", [](Processor& p) { p.params.bandReleaseTime = p.params.bandAttackTime = 1; });
    add("envelopeTimes5", [](Processor& p) { p.params.bandReleaseTime = p.params.bandAttackTime = 5; }, 48000);
    add("envelopeTimes3and2", [](Processor& p) { p.params.bandReleaseTime = 3, p.params.bandAttackTime = 2; }, 32000);
    add("reductionDelay0", [](Processor& p) { p.bands[0].reductionDelayMs = 0; })->peak = 32000;
    add("reductionDelay100", [](Processor& p) { p.bands[0].reductionDelayMs = 100; })->peak = 32000;
    add("extremesMax44100", [](Processor& p) { allKnobs(p, true); })->peak = 32767;
    add("extremesMax32000", [](Processor& p) { allKnobs(p, true); }, 32000)->peak = 32767;
    add("extremesMin48000", [](Processor& p) {
        allKnobs(p, false);
        for (BandSettings& band : p.bands) band.outputDb = 3;  // audible despite -24 dB clips
    }, 48000)->peak = 32767;
    add("extremeBands", [](Processor& p) {
        const double drive[] = {24, 0, 12, 24, 3, 18}, clip[] = {6, -24, 0, -12, 6, -6}, out[] = {3, -96, 0, 3, -20, 1};
        for (int b = 0; b < kBandCount; ++b) {
            p.bands[b].driveDb = drive[b], p.bands[b].depthDb = 24 - 4 * b, p.bands[b].thresholdDb = -32 + 6 * b;
            p.bands[b].clipDb = clip[b], p.bands[b].outputDb = out[b];
        }
        p.params.bassClipMode = 0;
        p.settings.normalizeGain = 3;
    });
    add("enhancerModes1and3", [](Processor& p) { p.params.enhancerMode = 1; });
    add("enhancerMode3", [](Processor& p) { p.params.enhancerMode = 3, p.params.enhancerDelayMs = 50; }, 48000);
    add("enhancerMode5Off", [](Processor& p) { p.params.enhancerMode = 5, p.settings.enhancerOn = 0; });
    add("filtersOff", [](Processor& p) {
        p.settings.bassEqOff = 1, p.settings.phaseShifterOn = 0, p.settings.finalLowpass = 2, p.params.agcSpeed = 1;
    });
    add("lowpass3", [](Processor& p) { p.settings.finalLowpass = 3, p.params.agcSpeed = 2.5; }, 48000);
    add("lowpass6", [](Processor& p) { p.settings.finalLowpass = 6, p.settings.bassEqGainDb = 0; }, 32000);
    add("agcCeilingNegative", [](Processor& p) { p.params.agcThresholdDb = 0, p.params.agcSpeed = 1.4; });
    add("normalizeGain", [](Processor& p) { p.settings.normalizeGain = 2.5; }, 44100, 335)->peak = 8000;
    add("oddBlocks", nullptr)->blockSamples = {2001, 15, 1, 3, 8191, 666, 4096};
    add("oddBlocksSpeaker", [](Processor& p) { p.settings.virtualSpeakerOn = 1; }, 48000, 343)->blockSamples = {
        257, 1, 32768, 99};
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Grid, ReferenceChain, ::testing::ValuesIn(chainCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace loudara

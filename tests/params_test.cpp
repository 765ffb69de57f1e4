// The parameter set: built-in preset records, the integer readings of double settings, and the
// bass EQ's redesign. The tables that envelope times and the final low-pass
// install are checked through the chain against the plain model (reference_chain_test).

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measure.h"
#include "processor/parameter_names.h"
#include "processor/params.h"
#include "processor/processor.h"

namespace loudara {
namespace {

using namespace loudara::test;

// Preset 232 is the record the program starts with, and the parameters' start values (which a
// plugin's ports take as defaults) come from the rows' initial values: applying it over other
// values gives every parameter it holds that value, leaves the others alone and clears the state.
TEST(PresetRecords, DefaultRecordGivesEveryParameterItsStartValue) {
    auto p = std::make_unique<Processor>();
    std::memset(static_cast<void*>(&p->params), 0x41, sizeof p->params);
    const double other = 0.123;
    for (const ParameterInfo& info : soundParameters()) {
        for (int b = 0; b < bandsOf(info); ++b) setParameterValue(*p, info, b, info.isSwitch ? 7 : other);
    }
    applyPreset(*p, presetForCommand(232));
    for (const ParameterInfo& info : soundParameters()) {
        const bool inPresets = info.presetRow || info.presetValue || info.presetSwitch;
        for (int b = 0; b < bandsOf(info); ++b) {
            const std::string name = parameterName(info, b);
            const double start = defaultValue(info, b);
            EXPECT_TRUE(start >= info.minValue && start <= info.maxValue) << name << " starts outside its range";
            const double applied = parameterValue(*p, info, b);
            EXPECT_EQ(applied, inPresets ? start : (info.isSwitch ? 7 : other)) << name;
        }
    }
    const ProcessorParams& a = p->params;
    EXPECT_EQ(p->settings.bassEqSampleRate, 44100.0);
    for (double x : {a.agcLowReduction, a.agcHighReduction, a.hfReductionL, a.hfReductionR, a.hfFeedbackL,
                     a.hfFeedbackR, a.hfReductionHold}) {
        EXPECT_EQ(x, 0.0);
    }
    EXPECT_STREQ(p->settings.presetDescription, presetForCommand(232).description);
}

TEST(PresetRecords, DescriptionsAreQuotedExactly) {
    const std::pair<int, const char*> descriptions[] = {
        {334, "Simlutates General AM Station - for Talk & Music Show"},
        {335, "Simlutates AM Radio / Internet Radio"},
        {336, "Simlutates Hip-Hop FM Radio Station"}, {340, "Simlutates Hip-Hop FM Radio Station"},
        {337, "Simlutates POP FM Radio Station"}, {341, "Simlutates POP FM Radio Station"},
        {338, "Simlutates Rock FM Radio Station"}, {342, "Simlutates Rock FM Radio Station"},
        {339, "Simlutates Typical FM Radio Station"}, {343, "Simlutates Typical FM Radio Station"},
        {232, "Simlutates MegaHit FM Radio Station"},
    };
    for (const auto& [id, text] : descriptions) EXPECT_STREQ(presetForCommand(id).description, text) << id;
}

TEST(PresetRecords, EveryIdOutside334To343GivesTheDefaultRecord) {
    const PresetRecord* fallback = &builtinPresets()[0].record;
    EXPECT_EQ(builtinPresets()[0].commandId, 232);
    for (int id : {232, 701, 711, 0, 333, 344, -1}) EXPECT_EQ(&presetForCommand(id), fallback) << id;
    for (int id = 334; id <= 343; ++id) EXPECT_NE(&presetForCommand(id), fallback) << id;
}

TEST(IntegerReadings, RoundedTruncatedAndThresholded) {
    EXPECT_EQ(agcSpeedIndex(0.4), 1);
    EXPECT_EQ(agcSpeedIndex(9), 4);
    EXPECT_EQ(agcSpeedIndex(2.5), 3);
    EXPECT_EQ(agcSpeedIndex(2.49), 2);
    EXPECT_EQ(rounded(3.5), 4);  // enhancerMode
    EXPECT_EQ(rounded(3.49), 3);
    EXPECT_EQ(rounded(0.4), 0);
    EXPECT_EQ(truncated(2.9), 2);  // finalLowpass, bandReleaseTime, bandAttackTime
    EXPECT_FALSE(emphasisActive(1.5));
    EXPECT_FALSE(emphasisActive(0.0));
    EXPECT_TRUE(emphasisActive(1.0));
    EXPECT_TRUE(emphasisActive(2.0));
    EXPECT_EQ(lowSumClipRatio(0.49), 0.125);
    EXPECT_EQ(lowSumClipRatio(0.5), 0.0625);
    EXPECT_EQ(lowSumClipRatio(1.49), 0.0625);
    EXPECT_EQ(lowSumClipRatio(1.5), 0.0);
    EXPECT_TRUE(adaptiveClipper(0.0));
    EXPECT_FALSE(adaptiveClipper(1.0));
}

TEST(DerivedBandValues, GateFactorInvertsTheGateLevel) {
    BandSettings band;
    band.gateDb = -36;
    EXPECT_NEAR(deriveBand(band).gateFactor, 63.096, 0.001);
    band.gateDb = -12;
    EXPECT_NEAR(deriveBand(band).gateFactor, 3.981, 0.001);
    band.clipDb = -3;
    EXPECT_NEAR(deriveBand(band).clipLevel, 23197.0, 1.0);
}

TEST(BassEq, RedesignRestartsBothChannelsFromSilence) {
    auto p = std::make_unique<Processor>();
    for (int n = 0; n < 10; ++n) step(p->bassEq, Pair{1000.0, -500.0});
    designBassEq(*p);
    const StereoBiquad& f = p->bassEq;
    for (int lane = 0; lane < 2; ++lane) {
        EXPECT_TRUE(f.x1[lane] == 0 && f.x2[lane] == 0 && f.y1[lane] == 0 && f.y2[lane] == 0) << lane;
    }
}

}  // namespace
}  // namespace loudara

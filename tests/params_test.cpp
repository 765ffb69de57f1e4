// The parameter set: built-in preset records and their layout, the integer readings of double
// settings, and the bass EQ's redesign. The tables that envelope times and the final low-pass
// install are checked through the chain against the plain model (reference_chain_test).

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measure.h"
#include "processor/params.h"
#include "processor/processor.h"

namespace loudara {
namespace {

using namespace loudara::test;

// A preset column of the table: the values that differ between presets. Every record also has
// bandAttackTime 4, enhancerDelayMs 10, bassEqQ 1.4, finalClipDb -0.8, spareC -6, postClipDb -0.2,
// agcSpeed 4, clipType 0, enhancerOn 1, bassEqOff 0 and phaseShifterOn 1.
struct PresetFigures {
    int commandId;
    double drive, depth[kBandCount], threshold, clip[kBandCount], output[kBandCount];
    double bassClipMode, spareB, releaseTime, reductionDelayMs, agcThresholdDb, agcDepthDb, enhancerDepthDb;
    double enhancerMode, bassEqGainDb, bassEqFreqHz, finalLowpass, preEmphasis;
    int32_t deEmphasisOn;
    double hfLimitThresholdDb, hfLimitDepthDb;
};
void PrintTo(const PresetFigures& f, std::ostream* os) { *os << f.commandId; }

const PresetFigures kPresetFigures[] = {
    {232, 16, {12, 12, 12, 12, 12, 12}, -16, {-3, -3, -3, -3, -3, -3}, {-0.5, -1, -1, -1, -0.5, 0},
     2, 4, 1, 40, -20, 24, -3, 4, 6, 60, 1, 2, 1, 0, 0},
    {334, 22, {16, 16, 16, 16, 16, 16}, -18, {-4, -4, -4, -4, -4, -4}, {-2, -2, -2, -2, -2, -2},
     2, 4, 4, 20, -36, 24, -6, 2, 3, 100, 5, 0, 0, -32, 24},
    {335, 20, {16, 18, 18, 18, 18, 18}, -18, {-4, -4, -4, -4, -4, -4}, {-1, -1, -1, -1, -2, -4},
     2, 4, 4, 20, -36, 24, -6, 2, 3, 80, 4, 0, 0, -32, 24},
    {336, 15, {12, 12, 12, 12, 12, 12}, -16, {-3, -3, -2, -2, -2, -5}, {0, -1, -2, -2.5, -3, -4},
     2, 4, 1, 80, -20, 24, -6, 5, 6, 60, 1, 0, 0, -32, 24},
    {337, 16, {12, 12, 12, 12, 12, 12}, -16, {-3, -2, -1, -1, -1, -1}, {-2, -2, -2, -2, -2, -2},
     0, 0, 1, 20, -22, 22, -6, 4, 3, 80, 0, 0, 0, -32, 24},
    {338, 18, {12, 12, 12, 12, 12, 12}, -16, {-3, -2, -1, -1, -1, -3}, {-1, -2, -2, -2.5, -3, -3},
     1, 2, 2, 40, -20, 24, -6, 2, 3, 80, 0, 0, 0, -32, 24},
    {339, 16, {12, 12, 12, 12, 12, 12}, -16, {-3, -3, -2, -3, -3, -5}, {-1, -1, -2, -2.5, -3, -4},
     2, 4, 1, 60, -20, 24, -3, 4, 6, 60, 0, 0, 0, -32, 24},
    {340, 15, {12, 12, 12, 12, 12, 12}, -16, {-3, -2, -2, -2, -2, -3}, {1, 0.5, 0, 0, 0, 0},
     2, 4, 1, 80, -20, 24, -6, 5, 6, 60, 1, 2, 1, -24, 24},
    {341, 16, {12, 12, 12, 12, 12, 12}, -16, {-3, -2, -2, -2, -3, -5}, {-1, -1, 0, 0, 0.5, 1},
     0, 0, 1, 20, -22, 22, -6, 4, 3, 100, 1, 2, 1, -24, 24},
    {342, 18, {12, 12, 12, 12, 12, 12}, -16, {-3, -3, -2, -2, -3, -4}, {0, -1, -1, 0, 1, 1.5},
     1, 2, 2, 40, -20, 24, -6, 2, 3, 80, 1, 2, 1, -24, 24},
    {343, 16, {12, 12, 12, 12, 12, 12}, -16, {-3, -3, -3, -3, -3, -3}, {0, 0, -1, -1, -0.5, 0},
     2, 4, 1, 60, -20, 24, -3, 2, 6, 60, 1, 2, 1, -24, 24},
};

class Preset : public ::testing::TestWithParam<PresetFigures> {};

// The record holds the table's column, and applying it puts every value in its place (over
// settings that differ from all of them).
TEST_P(Preset, RecordAndAppliedSettingsHoldTheTableColumn) {
    const PresetFigures& f = GetParam();
    const PresetRecord& r = presetForCommand(f.commandId);
    auto p = std::make_unique<Processor>();
    for (BandSettings& band : p->bands) band.driveDb = band.depthDb = band.thresholdDb = band.clipDb = band.outputDb = 99;
    std::memset(static_cast<void*>(&p->params), 0x41, sizeof p->params);
    ProcessorSettings& s = p->settings;
    s.bassEqGainDb = s.bassEqFreqHz = s.bassEqQ = s.finalLowpass = s.bassEqSampleRate = 99;
    s.enhancerOn = s.bassEqOff = s.phaseShifterOn = s.deEmphasisOn = 7;
    applyPreset(*p, r);
    const ProcessorParams& a = p->params;
    for (int b = 0; b < kBandCount; ++b) {
        SCOPED_TRACE(b);
        const BandSettings& band = p->bands[b];
        EXPECT_TRUE(r.driveDb[b] == f.drive && band.driveDb == f.drive);
        EXPECT_TRUE(r.depthDb[b] == f.depth[b] && band.depthDb == f.depth[b]);
        EXPECT_TRUE(r.thresholdDb[b] == f.threshold && band.thresholdDb == f.threshold);
        EXPECT_TRUE(r.clipDb[b] == f.clip[b] && band.clipDb == f.clip[b]);
        EXPECT_TRUE(r.outputDb[b] == f.output[b] && band.outputDb == f.output[b]);
    }
    const struct {
        const char* name;
        double record, applied, table;
    } fields[] = {
        {"bassClipMode", r.bassClipMode, a.bassClipMode, f.bassClipMode},
        {"spareB", r.spareB, a.spareB, f.spareB},
        {"bandAttackTime", r.bandAttackTime, a.bandAttackTime, 4},
        {"bandReleaseTime", r.bandReleaseTime, a.bandReleaseTime, f.releaseTime},
        {"reductionDelayMs", r.reductionDelayMs, p->bands[0].reductionDelayMs, f.reductionDelayMs},
        {"agcThresholdDb", r.agcThresholdDb, a.agcThresholdDb, f.agcThresholdDb},
        {"agcDepthDb", r.agcDepthDb, a.agcDepthDb, f.agcDepthDb},
        {"enhancerDepthDb", r.enhancerDepthDb, a.enhancerDepthDb, f.enhancerDepthDb},
        {"enhancerDelayMs", r.enhancerDelayMs, a.enhancerDelayMs, 10},
        {"enhancerMode", r.enhancerMode, a.enhancerMode, f.enhancerMode},
        {"bassEqGainDb", r.bassEqGainDb, s.bassEqGainDb, f.bassEqGainDb},
        {"bassEqFreqHz", r.bassEqFreqHz, s.bassEqFreqHz, f.bassEqFreqHz},
        {"bassEqQ", r.bassEqQ, s.bassEqQ, 1.4},
        {"finalClipDb", r.finalClipDb, a.finalClipDb, -0.8},
        {"finalLowpass", r.finalLowpass, s.finalLowpass, f.finalLowpass},
        {"enhancerOn", double(r.enhancerOn), double(s.enhancerOn), 1},
        {"bassEqOff", double(r.bassEqOff), double(s.bassEqOff), 0},
        {"phaseShifterOn", double(r.phaseShifterOn), double(s.phaseShifterOn), 1},
        {"deEmphasisOn", double(r.deEmphasisOn), double(s.deEmphasisOn), double(f.deEmphasisOn)},
        {"preEmphasis", r.preEmphasis, a.preEmphasis, f.preEmphasis},
        {"hfLimitThresholdDb", r.hfLimitThresholdDb, a.hfLimitThresholdDb, f.hfLimitThresholdDb},
        {"hfLimitDepthDb", r.hfLimitDepthDb, a.hfLimitDepthDb, f.hfLimitDepthDb},
        {"spareC", r.spareC, a.spareC, -6},
        {"postClipDb", r.postClipDb, a.postClipDb, -0.2},
        {"agcSpeed", r.agcSpeed, a.agcSpeed, 4},
        {"clipType", r.clipType, a.clipType, 0},
    };
    for (const auto& field : fields) {
        EXPECT_EQ(field.record, field.table) << field.name << " in the record";
        EXPECT_EQ(field.applied, field.table) << field.name << " applied";
    }
    EXPECT_EQ(s.bassEqSampleRate, 44100.0);
    for (double x : {a.agcLowReduction, a.agcHighReduction, a.hfReductionL, a.hfReductionR, a.hfFeedbackL,
                     a.hfFeedbackR, a.hfReductionHold}) {
        EXPECT_EQ(x, 0.0);
    }
    EXPECT_STREQ(s.presetDescription, r.description);
}
INSTANTIATE_TEST_SUITE_P(Records, Preset, ::testing::ValuesIn(kPresetFigures),
                         [](const auto& info) { return std::to_string(info.param.commandId); });

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

TEST(PresetRecords, DefaultSettingsAreTheDefaultRecords) {
    const PresetRecord& r = presetForCommand(232);
    const BandSettings none{};
    EXPECT_EQ(none.reductionDelayMs, r.reductionDelayMs);
    EXPECT_EQ(none.gateDb, -36.0);
    for (int b = 0; b < kBandCount; ++b) {
        const BandSettings row = defaultBandSettings(b);
        EXPECT_TRUE(row.driveDb == r.driveDb[b] && row.depthDb == r.depthDb[b] && row.thresholdDb == r.thresholdDb[b] &&
                    row.clipDb == r.clipDb[b] && row.outputDb == r.outputDb[b])
            << "band " << b;
    }
    const ProcessorParams params;
    const ProcessorSettings settings;
    EXPECT_TRUE(params.agcThresholdDb == r.agcThresholdDb && params.agcDepthDb == r.agcDepthDb &&
                params.enhancerDepthDb == r.enhancerDepthDb && params.enhancerMode == r.enhancerMode &&
                params.bandReleaseTime == r.bandReleaseTime && params.preEmphasis == r.preEmphasis &&
                params.hfLimitThresholdDb == r.hfLimitThresholdDb && params.finalClipDb == r.finalClipDb);
    EXPECT_TRUE(settings.bassEqGainDb == r.bassEqGainDb && settings.bassEqFreqHz == r.bassEqFreqHz &&
                settings.finalLowpass == r.finalLowpass && settings.deEmphasisOn == r.deEmphasisOn);
}

TEST(PresetRecords, EveryIdOutside334To343GivesTheDefaultRecord) {
    const PresetRecord* fallback = &builtinPresets()[0].record;
    EXPECT_EQ(builtinPresets()[0].commandId, 232);
    for (int id : {232, 701, 711, 0, 333, 344, -1}) EXPECT_EQ(&presetForCommand(id), fallback) << id;
    for (int id = 334; id <= 343; ++id) EXPECT_NE(&presetForCommand(id), fallback) << id;
}

template <class T>
T fieldAt(const PresetRecord& r, size_t offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(&r) + offset, sizeof value);
    return value;
}

TEST(PresetRecords, RecordLayout) {
    EXPECT_EQ(sizeof(PresetRecord), 496u);
    EXPECT_EQ(offsetof(PresetRecord, description), 432u);
    EXPECT_EQ(offsetof(PresetRecord, enhancerOn), 360u);
    EXPECT_EQ(offsetof(PresetRecord, preEmphasis), 376u);
    const PresetRecord& r = presetForCommand(341);
    EXPECT_EQ(fieldAt<double>(r, 40), 16.0);     // driveDb of band 5
    EXPECT_EQ(fieldAt<double>(r, 232), 1.0);     // outputDb of band 5
    EXPECT_EQ(fieldAt<double>(r, 328), 100.0);   // bassEqFreqHz
    EXPECT_EQ(fieldAt<int32_t>(r, 372), 1);      // deEmphasisOn
    EXPECT_EQ(fieldAt<double>(r, 376), 2.0);     // preEmphasis
    EXPECT_EQ(fieldAt<double>(r, 384), -24.0);   // hfLimitThresholdDb
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r) + 432), "Simlutates POP FM Radio Station");
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

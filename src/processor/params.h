#pragma once
// The sound parameter set: the six band rows, the parameter record, the loose settings and the
// built-in recommended presets. Levels are decibels held as doubles; the chain turns them into
// linear factors once per block.

#include <cmath>
#include <cstdint>
#include <string_view>

#include "filters.h"

namespace loudara {

inline constexpr int kBandCount = 6;
inline constexpr int kPresetCount = 11;

// 10^(dB/20).
inline double dbToLinear(double db) { return std::pow(10.0, db / 20.0); }

// One processing band, band 0 lowest in frequency. User fields first, then the run-time state
// written by the band processor.
struct BandSettings {
    double driveDb = 16;        // gain into the band filter, 0..24
    double depthDb = 12;        // multiplier of the gain reduction, 0..24
    double thresholdDb = -16;   // detector threshold on the sample scale, -32..0
    double clipDb = -3;         // band clip level on the sample scale, -24..+6
    double outputDb = 0;        // level into the final mix, -96..+3; defaults per band below

    double inputL = 0, inputR = 0;    // band input of the current frame
    double outputL = 0, outputR = 0;  // band output of the current frame
    double reduction = 0;             // gain reduction 0..31743; gain = 1 - reduction/32767
    double delayedReduction = 0;      // band 0: reduction after the reduction delay
    double reductionDelayMs = 40;     // band 0 only, 0..100
    double reductionPeak = 0;         // meter: running maximum of reduction
    // The band's envelope, gate and crossfade filters and its delay memory live in Processor
    // (envelopes, bandMemory[b]).
    int32_t clipFlag = 0;
    int32_t lookAheadLength = 880;
    double preReductionL = 0, preReductionR = 0;  // side-chain output for the next band
    double gateGain = 1;
    double gateDb = -36;  // gate level, -60..-12; used only while gateOn is set
    int32_t gateState = 3;
};

// A band row as the program starts, before any preset: the default record's levels, whose
// output levels differ from band to band.
inline constexpr double kDefaultOutputDb[kBandCount] = {-0.5, -1, -1, -1, -0.5, 0};
inline constexpr BandSettings defaultBandSettings(int band) {
    BandSettings row;
    row.outputDb = kDefaultOutputDb[band];
    return row;
}

// Per-band values derived from the user fields at every block start.
struct BandDerived {
    double driveFactor = 1;
    double depthFactor = 1;
    double thresholdLevel = 0;  // sample scale
    double clipLevel = 0;       // sample scale
    double outputFactor = 1;
    double gateFactor = 1;      // dbToLinear(-gateDb)
};

BandDerived deriveBand(const BandSettings& band);

// The parameter record, in its stored order. State and meter fields are written by the processor.
struct ProcessorParams {
    double agcLowReduction = 0;   // state
    double agcHighReduction = 0;  // state
    double agcThresholdDb = -20;
    double agcDepthDb = 24;
    double enhancerDepthDb = -3;
    double enhancerDelayMs = 10;
    double inputPeakL = 0, inputPeakR = 0;    // meters
    double outputPeakL = 0, outputPeakR = 0;  // meters
    double bandReleaseTime = 1;  // index 1..5
    double bandAttackTime = 4;   // index 1..5
    double finalClipDb = -0.8;
    double spareA = 0;
    double enhancerMode = 4;  // 1..5
    double bassClipMode = 2;  // 0..2
    double spareB = 4;
    double hfReductionL = 0, hfReductionR = 0;  // state
    double hfFeedbackL = 0, hfFeedbackR = 0;    // state
    double hfLimitThresholdDb = 0;
    double hfLimitDepthDb = 0;
    double spareC = -6;
    double preEmphasis = 2;  // 0 off, 1 50 us, 2 75 us
    double hfReductionHold = 0;  // display hold
    double enhancerPeak = 0;     // meter, signed
    double hfLimitPeak = 0;      // meter
    double postClipDb = -0.2;
    double agcSpeed = 4;  // 1..4
    double clipType = 0;  // 0 adaptive, 1 hard
};

// Loose settings outside the record.
struct ProcessorSettings {
    int32_t bypass = 0;
    int32_t bassEqOff = 0;  // inverted sense: 1 switches the EQ off
    int32_t phaseShifterOn = 1;
    int32_t enhancerOn = 1;
    int32_t deEmphasisOn = 1;
    int32_t gateOn = 0;
    int32_t virtualSpeakerOn = 0;
    double channelMode = 1;  // 0 left only, 1 both, 2 right only
    double bassEqGainDb = 6;
    double bassEqFreqHz = 60;
    double bassEqSampleRate = 44100;
    double bassEqQ = 1.4;
    double finalLowpass = 1;  // 0..6
    double speakerSpacingCm = 18;
    double roomDistanceM = 10;
    double reflectionPercent = 40;
    double normalizeGain = 1;
    int32_t clipFlagL = 0, clipFlagR = 0;
    char presetDescription[64] = "Simlutates MegaHit FM Radio Station";
    // Options after the chain's own stages, off by default (not in the parameter file or presets).
    int32_t truePeakLimiter = 0;     // the true-peak limiter after the last stage
    double truePeakCeilingDb = -1.0; // its ceiling, dBTP
    int32_t oversampledClipping = 0; // the clippers at four times the rate, gains and detectors band-limited
};

// A built-in recommended preset. The field order is the record's layout (496 bytes).
struct PresetRecord {
    double driveDb[kBandCount];
    double depthDb[kBandCount];
    double thresholdDb[kBandCount];
    double clipDb[kBandCount];
    double outputDb[kBandCount];
    double bassClipMode;
    double spareB;
    double bandAttackTime;
    double bandReleaseTime;
    double reductionDelayMs;
    double agcThresholdDb;
    double agcDepthDb;
    double enhancerDepthDb;
    double enhancerDelayMs;
    double enhancerMode;
    double bassEqGainDb;
    double bassEqFreqHz;
    double bassEqQ;
    double finalClipDb;
    double finalLowpass;
    int32_t enhancerOn;
    int32_t bassEqOff;
    int32_t phaseShifterOn;
    int32_t deEmphasisOn;
    double preEmphasis;
    double hfLimitThresholdDb;
    double hfLimitDepthDb;
    double spareC;
    double postClipDb;
    double agcSpeed;
    double clipType;
    char description[64];
};
static_assert(sizeof(PresetRecord) == 496);

// A built-in preset with the command that selects it and the menu text that leads to it.
struct BuiltinPreset {
    int commandId;          // 232 for the default record
    const char* menuText;
    const char* menuGroup;
    PresetRecord record;
    const char* name;       // its name on the command line and in the plugins: "fm-wide-stereo"
};

// The eleven built-in presets: the default record (command 232) first, then 334..343.
const BuiltinPreset (&builtinPresets())[kPresetCount];

// The record that a command id selects: 334..343 their own, every other id the default record.
const PresetRecord& presetForCommand(int commandId);

// The command id of a built-in preset given by its id ("343") or its name ("fm-wide-stereo", any
// case); 0 for any other text.
int builtinPresetId(std::string_view text);

// Integer readings of double settings. Values beyond the int range (or NaN, from a damaged
// file) read as the smallest int, as the processor's conversion instruction gives them.
inline int truncated(double value) {
    if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
    return static_cast<int>(value);
}
inline int rounded(double value) { return truncated(value + 0.5); }

// trunc(value) limited to low..high (NaN gives low).
inline int32_t truncatedWithin(double value, int32_t low, int32_t high) {
    if (!(value >= low)) return low;
    if (value >= high) return high;
    return static_cast<int32_t>(value);
}
inline int agcSpeedIndex(double agcSpeed) {
    const int speed = rounded(agcSpeed);
    return speed < 1 ? 1 : (speed > 4 ? 4 : speed);
}
inline bool emphasisActive(double preEmphasis) { return preEmphasis == 1.0 || preEmphasis == 2.0; }
inline double lowSumClipRatio(double bassClipMode) {
    if (bassClipMode < 0.5) return 0.125;
    if (bassClipMode < 1.5) return 0.0625;
    return 0.0;
}
inline bool adaptiveClipper(double clipType) { return clipType == 0.0; }

// Panel labels of the enumerated settings, indexed by their integer reading.
inline constexpr const char* kAgcSpeedLabels[] = {"", "slow", "m.slow", "m.fast", "fast"};
inline constexpr const char* kEnvelopeTimeLabels[] = {"", "100ms", "50ms", "25ms", "12ms", "6ms"};
inline constexpr const char* kEnhancerModeLabels[] = {"", "1.LvN", "2.Lv1", "3.Lv2", "4.Tr-", "5.Tr+"};
inline constexpr const char* kPreEmphasisLabels[] = {"Off", "50us", "75us"};
inline constexpr const char* kClipTypeLabels[] = {"ADPTV", "HARD"};
inline constexpr const char* kFinalLowpassLabels[] = {"thru", "15k", "12k", "10k", "8k", "6k", "4k"};
inline constexpr const char* kChannelModeLabels[] = {"L<", "L<>R", ">R"};

}  // namespace loudara

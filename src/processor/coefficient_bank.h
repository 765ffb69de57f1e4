#pragma once
// Per-rate coefficient banks. A bank holds every rate-dependent filter of the chain with zero
// state; installing it (selectCoefficientBank) copies it into the processor's active tables.

#include "filters.h"

namespace loudara {

// The per-channel filter slots. The processor keeps one copy as its working set, the two
// channels side by side in each slot's lanes.
struct FilterTemplate {
    OnePole enhancerPost;                // LP 4 kHz; the enhancer's one difference signal
    StereoOnePole inputHighpass;         // HP 10 Hz
    StereoBiquad lowBandsSplit;          // Butterworth LP, about 425 Hz
    StereoBiquad highBandsAllpass;       // all-pass, 180 degrees near 105 Hz
    StereoBiquad band0Lowpass;           // Butterworth LP 150 Hz
    StereoThirdOrder band1Highpass;      // Butterworth HP 150 Hz
    StereoOnePole band0Post;             // LP 150 Hz
    StereoOnePole lowSumPost;            // LP 425 Hz
    StereoThirdOrder band2Highpass;      // Butterworth HP 425 Hz
    StereoOnePole band2Lowpass;          // LP 1100 Hz
    StereoOnePole band2Post;             // LP 1100 Hz
    StereoOnePolePair band3Highpass;     // two HP sections at 1100 Hz
    StereoOnePole band3Lowpass;          // LP 2400 Hz
    StereoOnePole band3Post;             // LP 2400 Hz
    StereoOnePolePair band4Highpass;     // two HP sections at 2400 Hz
    StereoOnePole band4Lowpass;          // LP 5900 Hz
    StereoOnePole band4Post;             // LP 5900 Hz
    StereoBiquad band4Allpass;           // all-pass with gain, 180 degrees near 4657 Hz
    StereoOnePolePair band5Highpass;     // two HP sections at 5900 Hz
    StereoOnePole hfSplit;               // HP 12 kHz
    double emphasisGain50 = 0;           // HF part gain, 50 us emphasis
    double emphasisGain75 = 0;           // HF part gain, 75 us emphasis
    StereoOnePole deEmphasis50;          // LP 3 kHz
    StereoOnePole deEmphasis75;          // LP 2 kHz
    StereoOnePole hfReductionSmoother;   // LP 32 Hz
    StereoOnePole clipOvershoot;         // LP 2 kHz
    StereoFifthOrder finalIir;           // filled by selectFinalLowpass
    StereoFir23 finalFir;                // filled by selectFinalLowpass
    StereoOnePole postClipOvershoot;     // LP 2 kHz
    StereoBiquad emphasisInput;          // fitted emphasis curve (times 1.584)
    StereoBiquad digitalShelf;           // about -0.1 dB low, -3 dB high
};

inline constexpr int kEnvelopeTimeSets = 5;
inline constexpr int kAgcSpeeds = 4;
inline constexpr int kFinalIirSets = 7;
inline constexpr int kFinalFirSets = 2;

struct CoefficientBank {
    int sampleRate = 0;  // the rate the bank was designed for
    FilterTemplate filterTemplate;
    StereoOnePole agcSplitLow;   // LP 200 Hz, left and right
    StereoOnePole agcSplitHigh;  // HP 200 Hz, left and right
    // The AGC detectors of the low part (lane 0) and the high part (lane 1).
    StereoOnePole agcSmooth;               // LP 0.1 Hz
    StereoOnePole agcSpeed[kAgcSpeeds];    // LP 0.0125, 0.025, 0.05, 0.1 Hz for speeds 1..4
    OnePole envelopeTimeSets[kEnvelopeTimeSets];  // LP 1, 2, 4, 8, 16 Hz for time index 1..5
    OnePole enhancerDetector;    // LP 4 Hz
    StereoOnePole enhancerLevel; // LP 4 Hz, left and right
    OnePole enhancerTransient;   // HP 0.1 Hz (44100) or 0.25 Hz (48000, 32000)
    StereoBiquad phaseShifter;   // all-pass, 180 degrees at 140 Hz (128.6 Hz at 44100)
    FifthOrder finalIirSets[kFinalIirSets];  // 0: identity; 1..6: Butterworth LP 15, 12, 10, 8, 6, 4 kHz
    Fir23 finalFirSets[kFinalFirSets];       // "15k" and "12k", linear phase
};

// The bank for 48000 or 44100; every other rate gets the 32000 bank.
const CoefficientBank& coefficientBankFor(int sampleRate);

// Filters designed once for 44100 and used unchanged at every rate.
struct FixedFilters {
    Biquad bandOvershoot;    // Butterworth LP 424.5 Hz
    Biquad speakerShelf;     // about -0.2 dB low, -3.2 dB high
    OnePole speakerLowpass;  // LP 6 kHz
    Biquad reflectionNotch;  // notch at 7490 Hz, Q 6.14
};
const FixedFilters& fixedFilters();

}  // namespace loudara

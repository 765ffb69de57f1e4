#include "coefficient_bank.h"

#include "filter_design.h"
#include "fitted_coefficients.h"

namespace loudara {
namespace {

Biquad biquadFrom(const double (&c)[5]) {
    Biquad f;
    f.b0 = c[0];
    f.a1 = c[1];
    f.b1 = c[2];
    f.a2 = c[3];
    f.b2 = c[4];
    return f;
}

Fir23 firFrom(const double (&c)[23]) {
    Fir23 f;
    for (int k = 0; k < Fir23::kTaps; ++k) f.c[k] = c[k];
    return f;
}

template <class Stereo, class Mono>
Stereo stereo(const Mono& mono) {
    Stereo s;
    install(s, mono);
    return s;
}

// Corner frequencies of one bank, as the bank realises them.
struct BankDesign {
    int rate;
    double lowBandsSplitHz;
    double highBandsAllpassHz, highBandsAllpassGain;
    double band2LowpassHz;   // also band2Post and band3Highpass
    double band3LowpassHz;   // also band3Post and band4Highpass
    double band4LowpassHz;   // also band4Post and band5Highpass
    double band4AllpassHz, band4AllpassGain;
    double emphasisGain50, emphasisGain75;
    double deEmphasis50Hz, deEmphasis75Hz;
    double enhancerTransientHz;
    double phaseShifterHz, phaseShifterGain, phaseShifterRate;
    const double (&emphasisInput)[5];
    const double (&digitalShelf)[5];
    const double (&fir1)[23];
    const double (&fir2)[23];
};

// The 32000 bank keeps the 44100 coefficients of the band 2 to 5 slots, so their corners sit
// lower in proportion to the rate (1100 * 32000/44100 = 798.2 Hz and so on). The 48000 bank keeps
// the 44100 de-emphasis coefficients, whose corners sit higher in proportion. The 44100 bank
// keeps the 48000 phase shifter, which turns through 180 degrees at 140 * 44100/48000 = 128.6 Hz.
const BankDesign kDesigns[] = {
    {48000, 462.0, 104.9, 1.0140, 1100.0, 2400.0, 5900.0, 4571.0, 1.498, 2.2, 4.4,
     3000.0 * 48000.0 / 44100.0, 2000.0 * 48000.0 / 44100.0, 0.25, 140.0, 1.0187, 48000.0,
     fitted::kEmphasisInput48000, fitted::kDigitalShelf48000, fitted::kFinalFir1_48000,
     fitted::kFinalFir2_48000},
    {44100, 424.5, 105.0, 1.0153, 1100.0, 2400.0, 5900.0, 4657.0, 1.532, 2.7, 5.1, 3000.0, 2000.0, 0.1, 140.0,
     1.0187, 48000.0, fitted::kEmphasisInput44100, fitted::kDigitalShelf44100, fitted::kFinalFir1_44100,
     fitted::kFinalFir2_44100},
    {32000, 424.5, 105.0, 1.0210, 1100.0 * 32000.0 / 44100.0, 2400.0 * 32000.0 / 44100.0,
     5900.0 * 32000.0 / 44100.0, 4657.0 * 32000.0 / 44100.0, 1.532, 4.8, 8.0, 3000.0, 2000.0, 0.25, 140.0,
     1.0280, 32000.0, fitted::kEmphasisInput32000, fitted::kDigitalShelf32000, fitted::kFinalFir1_32000,
     fitted::kFinalFir2_32000},
};

CoefficientBank buildBank(const BankDesign& d) {
    const double rate = d.rate;
    CoefficientBank bank;
    bank.sampleRate = d.rate;

    FilterTemplate& t = bank.filterTemplate;
    auto lowpass = [rate](double hz) { return stereo<StereoOnePole>(designOnePoleLowpass(hz, rate)); };
    auto highpass = [rate](double hz) { return stereo<StereoOnePole>(designOnePoleHighpass(hz, rate)); };
    auto highpassPair = [rate](double hz) {
        return stereo<StereoOnePolePair>(designOnePolePairHighpass(hz, rate));
    };
    t.enhancerPost = designOnePoleLowpass(4000.0, rate);
    t.inputHighpass = highpass(10.0);
    t.lowBandsSplit = stereo<StereoBiquad>(designButterworthLowpass2(d.lowBandsSplitHz, rate));
    t.highBandsAllpass = stereo<StereoBiquad>(designAllpass(d.highBandsAllpassHz, d.highBandsAllpassGain, rate));
    t.band0Lowpass = stereo<StereoBiquad>(designButterworthLowpass2(150.0, rate));
    t.band1Highpass = stereo<StereoThirdOrder>(designButterworthHighpass3(150.0, rate));
    t.band0Post = lowpass(150.0);
    t.lowSumPost = lowpass(425.0);
    t.band2Highpass = stereo<StereoThirdOrder>(designButterworthHighpass3(425.0, rate));
    t.band2Lowpass = lowpass(d.band2LowpassHz);
    t.band2Post = lowpass(d.band2LowpassHz);
    t.band3Highpass = highpassPair(d.band2LowpassHz);
    t.band3Lowpass = lowpass(d.band3LowpassHz);
    t.band3Post = lowpass(d.band3LowpassHz);
    t.band4Highpass = highpassPair(d.band3LowpassHz);
    t.band4Lowpass = lowpass(d.band4LowpassHz);
    t.band4Post = lowpass(d.band4LowpassHz);
    t.band4Allpass = stereo<StereoBiquad>(designAllpass(d.band4AllpassHz, d.band4AllpassGain, rate));
    t.band5Highpass = highpassPair(d.band4LowpassHz);
    t.hfSplit = highpass(12000.0);
    t.emphasisGain50 = d.emphasisGain50;
    t.emphasisGain75 = d.emphasisGain75;
    t.deEmphasis50 = lowpass(d.deEmphasis50Hz);
    t.deEmphasis75 = lowpass(d.deEmphasis75Hz);
    t.hfReductionSmoother = lowpass(32.0);
    t.clipOvershoot = lowpass(2000.0);
    t.postClipOvershoot = lowpass(2000.0);
    t.emphasisInput = stereo<StereoBiquad>(biquadFrom(d.emphasisInput));
    t.digitalShelf = stereo<StereoBiquad>(biquadFrom(d.digitalShelf));
    // finalIir and finalFir stay empty until selectFinalLowpass fills them.

    bank.agcSplitLow = lowpass(200.0);
    bank.agcSplitHigh = highpass(200.0);
    bank.agcSmooth = lowpass(0.1);
    const double agcSpeedHz[kAgcSpeeds] = {0.0125, 0.025, 0.05, 0.1};
    for (int s = 0; s < kAgcSpeeds; ++s) bank.agcSpeed[s] = lowpass(agcSpeedHz[s]);
    const double envelopeHz[kEnvelopeTimeSets] = {1.0, 2.0, 4.0, 8.0, 16.0};
    for (int k = 0; k < kEnvelopeTimeSets; ++k) bank.envelopeTimeSets[k] = designOnePoleLowpass(envelopeHz[k], rate);
    bank.enhancerDetector = designOnePoleLowpass(4.0, rate);
    bank.enhancerLevel = lowpass(4.0);
    bank.enhancerTransient = designOnePoleHighpass(d.enhancerTransientHz, rate);
    bank.phaseShifter = stereo<StereoBiquad>(designAllpass(d.phaseShifterHz, d.phaseShifterGain, d.phaseShifterRate));

    bank.finalIirSets[0].b[0] = 1.0;
    bank.finalIirSets[0].a[0] = 1.0;
    const double finalHz[kFinalIirSets - 1] = {15000.0, 12000.0, 10000.0, 8000.0, 6000.0, 4000.0};
    for (int k = 1; k < kFinalIirSets; ++k) bank.finalIirSets[k] = designButterworthLowpass5(finalHz[k - 1], rate);
    bank.finalFirSets[0] = firFrom(d.fir1);
    bank.finalFirSets[1] = firFrom(d.fir2);
    return bank;
}

struct Banks {
    CoefficientBank banks[3];
    Banks() {
        for (int i = 0; i < 3; ++i) banks[i] = buildBank(kDesigns[i]);
    }
};

const Banks& allBanks() {
    static const Banks banks;
    return banks;
}

}  // namespace

const CoefficientBank& coefficientBankFor(int sampleRate) {
    const Banks& b = allBanks();
    if (sampleRate == 48000) return b.banks[0];
    if (sampleRate == 44100) return b.banks[1];
    return b.banks[2];
}

const FixedFilters& fixedFilters() {
    static const FixedFilters filters = [] {
        FixedFilters f;
        f.bandOvershoot = designButterworthLowpass2(424.5, 44100.0);
        f.speakerShelf.b0 = 0.71593;
        f.speakerShelf.a1 = -1.6602;
        f.speakerShelf.b1 = -1.1442;
        f.speakerShelf.a2 = 0.70935;
        f.speakerShelf.b2 = 0.47639;
        f.speakerLowpass = designOnePoleLowpass(6000.0, 44100.0);
        f.reflectionNotch = designNotch(7490.0, 6.14, 44100.0);
        return f;
    }();
    return filters;
}

}  // namespace loudara

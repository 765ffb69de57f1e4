#pragma once
// A plain model of the whole chain, one frame at a time in scalar doubles, written as the chain
// is described stage by stage: no pairing of channels or bands, no runs of frames, no vector
// types. It shares only the coefficient tables with the processor (the per-rate banks and the
// fixed notch and overshoot filters, which have tests of their own); every constant, every
// stage and every filter step is its own. The reference test runs it beside processBlock and
// requires the same samples, meters and flags.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "processor/coefficient_bank.h"
#include "processor/params.h"

namespace loudara::reference {

// ---- Filter primitives: y from x, then the states shift. --------------------------------------
struct OnePoleF {
    double b0 = 0, a1 = 0, b1 = 0, x1 = 0, y1 = 0;
    double operator()(double x) {
        const double y = b0 * x + b1 * x1 - a1 * y1;
        x1 = x, y1 = y;
        return y;
    }
};
struct OnePolePairF {  // two identical sections in series
    double b0 = 0, a1 = 0, b1 = 0, x1 = 0, w1 = 0, y1 = 0;
    double operator()(double x) {
        const double w = b0 * x + b1 * x1 - a1 * w1;
        const double y = b0 * w + b1 * w1 - a1 * y1;
        x1 = x, w1 = w, y1 = y;
        return y;
    }
};
struct BiquadF {
    double b0 = 0, a1 = 0, b1 = 0, a2 = 0, b2 = 0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double operator()(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        return y;
    }
};
struct ThirdOrderF {
    double b0 = 0, a1 = 0, b1 = 0, a2 = 0, b2 = 0, a3 = 0, b3 = 0;
    double x1 = 0, x2 = 0, x3 = 0, y1 = 0, y2 = 0, y3 = 0;
    double operator()(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 + b3 * x3 - a1 * y1 - a2 * y2 - a3 * y3;
        x3 = x2, x2 = x1, x1 = x, y3 = y2, y2 = y1, y1 = y;
        return y;
    }
};
struct FifthOrderF {
    double b[6] = {}, a[6] = {}, x[6] = {}, y[6] = {};  // x[k], y[k]: k steps back
    double operator()(double in) {
        double out = b[0] * in;
        for (int k = 1; k <= 5; ++k) out += b[k] * x[k];
        for (int k = 1; k <= 5; ++k) out -= a[k] * y[k];
        for (int k = 5; k > 1; --k) x[k] = x[k - 1], y[k] = y[k - 1];
        x[1] = in, y[1] = out;
        return out;
    }
};
struct FirF {
    double c[23] = {}, x[23] = {};  // x[k]: the input k steps back
    double operator()(double in) {
        for (int k = 22; k > 0; --k) x[k] = x[k - 1];
        x[0] = in;
        double out = c[0] * x[0];
        for (int k = 1; k < 23; ++k) out += c[k] * x[k];
        return out;
    }
};

// Delay line of length n: the value stored n - 1 calls before.
template <int Capacity>
struct DelayLineF {
    double v[Capacity] = {};
    int32_t index = 0;
    double operator()(double x, int32_t n) {
        const int32_t i = (index + 1) % n;
        v[i] = x;
        index = i;
        return v[(i + 1) % n];
    }
};
// Pure delay of n: the value stored n calls before.
template <int Capacity>
struct PureDelayF {
    double v[Capacity] = {};
    int32_t index = 0;
    double operator()(double x, int32_t n) {
        const int32_t i = index % n;
        const double y = v[i];
        v[i] = x;
        index = i + 1;
        return y;
    }
};
struct DiffuserF {
    double v[2400] = {};
    int32_t index = 0, length = 1;
    double gain = 0;
    double operator()(double x) {
        const int32_t i = index % length;
        const double w = v[i];
        v[i] = x + gain * w;
        index = i + 1;
        return w - gain * (x + gain * w);
    }
};

// Lane 0 of a bank filter, with zero state.
inline OnePoleF from(const OnePole& f) { return {f.b0, f.a1, f.b1}; }
inline OnePoleF from(const StereoOnePole& f) { return {f.b0[0], f.a1[0], f.b1[0]}; }
inline OnePolePairF from(const StereoOnePolePair& f) { return {f.b0[0], f.a1[0], f.b1[0]}; }
inline BiquadF from(const Biquad& f) { return {f.b0, f.a1, f.b1, f.a2, f.b2}; }
inline BiquadF from(const StereoBiquad& f) { return {f.b0[0], f.a1[0], f.b1[0], f.a2[0], f.b2[0]}; }
inline ThirdOrderF from(const StereoThirdOrder& f) {
    return {f.b0[0], f.a1[0], f.b1[0], f.a2[0], f.b2[0], f.a3[0], f.b3[0]};
}
inline FifthOrderF from(const FifthOrder& f) {
    FifthOrderF g;
    for (int k = 0; k < 6; ++k) g.b[k] = f.b[k], g.a[k] = f.a[k];
    return g;
}
inline FirF from(const Fir23& f) {
    FirF g;
    for (int k = 0; k < 23; ++k) g.c[k] = f.c[k];
    return g;
}

inline double fromDb(double db) { return std::pow(10.0, db / 20.0); }
inline double larger(double a, double b) { return a > b ? a : b; }
inline double smaller(double a, double b) { return a < b ? a : b; }
inline double over(double x, double t) { return larger(std::fabs(x) - t, 0.0); }
inline double softClip(double x, double t, double r, int32_t& flag) {
    if (x > t) return flag = 1, t + (x - t) * r;
    if (x < -t) return flag = 1, -t - (-x - t) * r;
    return x;
}
inline double softClip(double x, double t, double r) {
    int32_t unused = 0;
    return softClip(x, t, r, unused);
}
inline double limited(double x, double low, double high) { return x < low ? low : (x > high ? high : x); }
inline int32_t truncatedInto(double x, int32_t low, int32_t high) {
    if (!(x >= low)) return low;  // NaN too
    return x >= high ? high : int32_t(x);
}

// One channel's copy of the filter template.
struct ChannelFilters {
    OnePoleF inputHighpass, band0Post, lowSumPost, band2Lowpass, band2Post, band3Lowpass, band3Post;
    OnePoleF band4Lowpass, band4Post, hfSplit, deEmphasis50, deEmphasis75, hfReductionSmoother;
    OnePoleF clipOvershoot, postClipOvershoot, enhancerPost;
    BiquadF lowBandsSplit, highBandsAllpass, band0Lowpass, band4Allpass, emphasisInput, digitalShelf;
    ThirdOrderF band1Highpass, band2Highpass;
    OnePolePairF band3Highpass, band4Highpass, band5Highpass;
    FifthOrderF finalIir;
    FirF finalFir;
    // Outside the template, one per channel.
    OnePoleF agcSplitLow, agcSplitHigh, enhancerLevel;
    BiquadF phaseShifter, bassEq, bandOvershoot2, bandOvershoot3;
    DelayLineF<66> emphasisMain, emphasisHigh;
    DelayLineF<3> clipper;
};

struct BandState {
    OnePoleF envelope, gate, attack, releaseCopy, crossfade;
    DelayLineF<900> lookAhead[2], compensation[2];
};

struct SpeakerChannel {
    BiquadF crossShelf, firstNotch, secondNotch, firstShelf[2], secondShelf[2];
    OnePoleF crossLowpass;
    PureDelayF<4800> cross, near, far, firstFar, secondFar;
    DiffuserF first[3], second[3];
};

inline constexpr double kGateConstants[6] = {1.8867473711207905, 3.186876717566609, 3.3562650531220712,
                                             5.011033834839105,  3.607278367243023, 4.551510776810894};
inline constexpr int32_t kDiffuserLength[2][2][3] = {{{882, 86, 234}, {782, 58, 262}},    // first: left, right
                                                     {{858, 82, 206}, {742, 62, 282}}};   // second

// The model. Set bands, params and settings, then prepare(rate), then process blocks.
struct Chain {
    BandSettings bands[6];
    ProcessorParams params;
    ProcessorSettings settings;
    int32_t streamRate = 44100;

    ChannelFilters ch[2];
    BandState band[6];
    DelayLineF<4800> reductionDelay;
    OnePoleF agcSmoothLow, agcSmoothHigh, agcSpeedLow[4], agcSpeedHigh[4];
    OnePoleF enhancerDetector, enhancerTransient;
    DelayLineF<2200> enhancerDelay;
    SpeakerChannel speaker[2];
    uint32_t ditherState = 0x2545F491u;
    int lookAhead = 880;

    // Block-start values.
    double agcGain = 0, agcThreshold = 0, finalClip = 0, enhancerFactor = 0, hfThreshold = 0, hfFactor = 0;
    double postClip = 0, lowSumRatio = 0, agcCeiling = 0;
    int agcSpeed = 4;
    double drive[6], depth[6], threshold[6], clip[6], output[6], gateFactor[6];

    void prepare(int rate) {
        const CoefficientBank& bank = coefficientBankFor(rate);
        const FilterTemplate& t = bank.filterTemplate;
        settings.bassEqSampleRate = rate;
        // The peaking EQ of the audio-EQ cookbook.
        const double A = std::pow(10.0, settings.bassEqGainDb / 40.0);
        const double w0 = 2.0 * 3.14159265358979323846 * settings.bassEqFreqHz / settings.bassEqSampleRate;
        const double alpha = std::sin(w0) / (2.0 * settings.bassEqQ);
        const double a0 = 1.0 + alpha / A;
        const BiquadF eq{(1.0 + alpha * A) / a0, -2.0 * std::cos(w0) / a0, -2.0 * std::cos(w0) / a0,
                         (1.0 - alpha / A) / a0, (1.0 - alpha * A) / a0};
        const int lowpass = int(settings.finalLowpass);
        const FixedFilters& fixed = fixedFilters();
        const double tan6k = std::tan(3.14159265358979323846 * 6000.0 / 44100.0), p6k = (1.0 - tan6k) / (1.0 + tan6k);
        const BiquadF shelf{0.71593, -1.6602, -1.1442, 0.70935, 0.47639};
        for (int c = 0; c < 2; ++c) {
            ChannelFilters& f = ch[c];
            f = ChannelFilters{};
            f.inputHighpass = from(t.inputHighpass), f.band0Post = from(t.band0Post), f.lowSumPost = from(t.lowSumPost);
            f.band2Lowpass = from(t.band2Lowpass), f.band2Post = from(t.band2Post);
            f.band3Lowpass = from(t.band3Lowpass), f.band3Post = from(t.band3Post);
            f.band4Lowpass = from(t.band4Lowpass), f.band4Post = from(t.band4Post);
            f.hfSplit = from(t.hfSplit), f.deEmphasis50 = from(t.deEmphasis50), f.deEmphasis75 = from(t.deEmphasis75);
            f.hfReductionSmoother = from(t.hfReductionSmoother), f.clipOvershoot = from(t.clipOvershoot);
            f.postClipOvershoot = from(t.postClipOvershoot), f.enhancerPost = from(t.enhancerPost);
            f.lowBandsSplit = from(t.lowBandsSplit), f.highBandsAllpass = from(t.highBandsAllpass);
            f.band0Lowpass = from(t.band0Lowpass), f.band4Allpass = from(t.band4Allpass);
            f.emphasisInput = from(t.emphasisInput), f.digitalShelf = from(t.digitalShelf);
            f.band1Highpass = from(t.band1Highpass), f.band2Highpass = from(t.band2Highpass);
            f.band3Highpass = from(t.band3Highpass), f.band4Highpass = from(t.band4Highpass);
            f.band5Highpass = from(t.band5Highpass);
            f.finalIir = from(bank.finalIirSets[lowpass >= 0 && lowpass <= 5 ? lowpass : 6]);
            f.finalFir = from(bank.finalFirSets[lowpass == 2 ? 1 : 0]);
            f.agcSplitLow = from(bank.agcSplitLow), f.agcSplitHigh = from(bank.agcSplitHigh);
            f.enhancerLevel = from(bank.enhancerLevel);
            f.phaseShifter = from(bank.phaseShifter), f.bassEq = eq;
            f.bandOvershoot2 = f.bandOvershoot3 = from(fixed.bandOvershoot);

            SpeakerChannel& s = speaker[c];
            s = SpeakerChannel{};
            s.crossShelf = s.firstShelf[0] = s.firstShelf[1] = s.secondShelf[0] = s.secondShelf[1] = shelf;
            s.crossLowpass = OnePoleF{(1.0 - p6k) / 2.0, -p6k, (1.0 - p6k) / 2.0};
            s.firstNotch = s.secondNotch = from(fixed.reflectionNotch);
        }
        agcSmoothLow = agcSmoothHigh = from(bank.agcSmooth);
        for (int s = 0; s < 4; ++s) agcSpeedLow[s] = agcSpeedHigh[s] = from(bank.agcSpeed[s]);
        enhancerDetector = from(bank.enhancerDetector);
        enhancerTransient = from(bank.enhancerTransient);
        const int release = int(params.bandReleaseTime), attack = int(params.bandAttackTime);
        const OnePole& releaseSet = bank.envelopeTimeSets[release >= 1 && release <= 4 ? release - 1 : 4];
        const OnePole& attackSet = bank.envelopeTimeSets[attack >= 1 && attack <= 4 ? attack - 1 : 4];
        lookAhead = release == 1 ? 880 : (release == 2 ? 440 : (release == 3 ? 220 : 110));
        for (BandState& b : band) {
            b = BandState{};
            b.envelope = b.gate = b.releaseCopy = from(releaseSet);
            b.attack = from(attackSet);
            b.crossfade = from(bank.envelopeTimeSets[2]);
        }
        for (BandSettings& b : bands) b.lookAheadLength = lookAhead;
        streamRate = rate;
        ditherState = 0x2545F491u;
    }

    int dither() {  // xorshift32, the top byte
        ditherState ^= ditherState << 13;
        ditherState ^= ditherState >> 17;
        ditherState ^= ditherState << 5;
        return int(ditherState >> 24);
    }

    void process(int32_t sampleCount, const int16_t* in, int16_t* out) {
        const int32_t frames = sampleCount / 2;
        if (frames <= 0) return;
        ProcessorParams& r = params;
        agcGain = fromDb(r.agcDepthDb);
        agcThreshold = fromDb(r.agcThresholdDb) * 32767.0;
        finalClip = fromDb(r.finalClipDb) * 32000.0;
        enhancerFactor = fromDb(r.enhancerDepthDb);
        hfThreshold = fromDb(r.hfLimitThresholdDb) * 32767.0;
        hfFactor = fromDb(r.hfLimitDepthDb);
        postClip = fromDb(r.postClipDb) * 32767.0;
        agcSpeed = int(limited(double(int(r.agcSpeed + 0.5)), 1, 4));
        settings.normalizeGain = limited(settings.normalizeGain, 1.0, 16.0);
        for (int b = 0; b < 6; ++b) {
            drive[b] = fromDb(bands[b].driveDb);
            depth[b] = fromDb(bands[b].depthDb);
            threshold[b] = fromDb(bands[b].thresholdDb) * 32767.0;
            clip[b] = fromDb(bands[b].clipDb) * 32767.0;
            output[b] = fromDb(bands[b].outputDb);
            gateFactor[b] = fromDb(-bands[b].gateDb);
        }
        lowSumRatio = r.bassClipMode < 0.5 ? 0.125 : (r.bassClipMode < 1.5 ? 0.0625 : 0.0);
        agcCeiling = 23169.0 - agcThreshold;
        for (int c = 0; c < 2; ++c) {
            for (int k = 0; k < 3; ++k) {
                speaker[c].first[k].gain = speaker[c].second[k].gain = -0.5;
                speaker[c].first[k].length = kDiffuserLength[0][c][k];
                speaker[c].second[k].length = kDiffuserLength[1][c][k];
            }
        }
        for (int32_t i = 0; i < frames; ++i) frame(in[2 * i], in[2 * i + 1], out[2 * i], out[2 * i + 1]);
    }

    void frame(int16_t inL, int16_t inR, int16_t& outL, int16_t& outR) {
        ProcessorParams& r = params;
        ProcessorSettings& s = settings;
        double x[2] = {double(inL), double(inR)};
        if (s.bypass == 0) {
            if (s.channelMode == 2.0) {
                x[0] = 0;
            } else if (s.channelMode == 0.0) {
                x[1] = 0;
            }
        }
        const int n = dither();
        for (double& v : x) v += n / 8192.0;
        const double bypassed[2] = {x[0], x[1]};
        for (int c = 0; c < 2; ++c) x[c] = ch[c].inputHighpass(x[c]);
        r.inputPeakL = larger(r.inputPeakL, std::fabs(x[0]));
        r.inputPeakR = larger(r.inputPeakR, std::fabs(x[1]));
        enhancer(x);
        if (s.phaseShifterOn == 1 && s.bypass == 0) {
            for (int c = 0; c < 2; ++c) x[c] = ch[c].phaseShifter(x[c]);
        }
        if (s.bassEqGainDb != 0 && s.bassEqOff == 0 && s.bypass == 0) {
            for (int c = 0; c < 2; ++c) x[c] = ch[c].bassEq(x[c]);
        }
        if (s.virtualSpeakerOn == 1) virtualSpeaker(x);
        agc(x);

        r.hfReductionL = r.hfReductionR = 0;
        if (r.preEmphasis == 1.0 || r.preEmphasis == 2.0) {
            double hd[2];
            for (int c = 0; c < 2; ++c) x[c] = emphasis(c, x[c], hd[c]);
            r.hfLimitPeak = larger(r.hfLimitPeak, larger(hd[0], hd[1]));
        } else {
            for (int c = 0; c < 2; ++c) x[c] = ch[c].digitalShelf(x[c]);
        }
        for (int c = 0; c < 2; ++c) {
            const double low = ch[c].lowBandsSplit(x[c]), high = ch[c].highBandsAllpass(x[c]);
            for (int b = 0; b < 6; ++b) (c == 0 ? bands[b].inputL : bands[b].inputR) = b < 2 ? low : high;
        }
        runBand(0, 0, 0);
        runBand(1, 0, 0);
        double lowSum[2];
        for (int c = 0; c < 2; ++c) {
            double& out1 = c == 0 ? bands[1].outputL : bands[1].outputR;
            const double sum = out1 + (c == 0 ? bands[0].outputL : bands[0].outputR);
            lowSum[c] = ch[c].lowSumPost(softClip(sum, clip[1], lowSumRatio, bands[1].clipFlag));
            out1 = lowSum[c];
        }
        runBand(2, 0, 0);
        runBand(3, 0, 0);
        const int emphasisInt = int(r.preEmphasis);
        const double factor4 = emphasisInt == 0 ? 0.3 : 0.21;
        runBand(4, bands[3].preReductionL * factor4, bands[3].preReductionR * factor4);
        double side5[2] = {bands[4].preReductionL, bands[4].preReductionR};
        if (emphasisInt != 0) side5[0] *= 0.707, side5[1] *= 0.707;
        runBand(5, side5[0], side5[1]);
        x[0] = (bands[2].outputL + bands[3].outputL + bands[4].outputL + bands[5].outputL + lowSum[0]) * 0.891;
        x[1] = (bands[2].outputR + bands[3].outputR + bands[4].outputR + bands[5].outputR + lowSum[1]) * 0.891;

        const int lowpass = int(s.finalLowpass);
        const bool deEmphasis = (r.preEmphasis == 1.0 || r.preEmphasis == 2.0) && s.deEmphasisOn == 1;
        int16_t o[2];
        for (int c = 0; c < 2; ++c) {
            ChannelFilters& f = ch[c];
            double v = x[c];
            // Final clipper: adaptive lowers the gain by the smoothed overshoot, 2 samples late.
            const double cl = softClip(v, finalClip, 0), excess = v - cl;
            if (r.clipType == 0.0) {
                const double k = limited(f.clipOvershoot(std::fabs(excess)) / 32767.0 * 2.0, 0.0, 0.5);
                v = (1.0 - k) * f.clipper(v, 3);
            } else {
                v = cl + f.clipOvershoot(excess);
            }
            v = (lowpass == 1 || lowpass == 2) ? f.finalFir(v) : f.finalIir(v);
            const double pc = softClip(v, postClip, 0);
            v = pc + f.postClipOvershoot(v - pc);
            if (std::fabs(v) > 32020.0) (c == 0 ? s.clipFlagL : s.clipFlagR) = 1;
            if (deEmphasis) v = r.preEmphasis == 1.0 ? f.deEmphasis50(v) : f.deEmphasis75(v);
            v = limited(v, -32760.0, 32760.0);
            o[c] = int16_t(int32_t(s.bypass == 0 ? v : bypassed[c]));
        }
        outL = o[0], outR = o[1];
        r.outputPeakL = larger(r.outputPeakL, std::fabs(double(outL)));
        r.outputPeakR = larger(r.outputPeakR, std::fabs(double(outR)));
    }

    void enhancer(double (&x)[2]) {
        ProcessorParams& r = params;
        const double lv = limited(smaller(ch[0].enhancerLevel(std::fabs(x[0])), ch[1].enhancerLevel(std::fabs(x[1]))) * 16.0, 0.0, 32760.0);
        double S = x[0] - x[1];
        const int mode = int(r.enhancerMode + 0.5);
        if (mode == 2 || mode == 3) {
            const double g = limited(enhancerDetector(std::fabs(S)) * 8.0, 0.0, 32760.0);
            S = mode == 2 ? (g / 32767.0) * S : (g / 32767.0) * S * (g / 32767.0);
        } else if (mode == 4 || mode == 5) {
            const double detected = enhancerDetector(std::fabs(mode == 4 ? S : x[0] + x[1]));
            const double g = limited(enhancerTransient(detected) * (mode == 4 ? 16.0 : 8.0), 0.0, 32760.0);
            S = (g / 32767.0) * S * (lv / 32767.0);
        }
        const int32_t length = truncatedInto(streamRate / 1000.0 * r.enhancerDelayMs, 1, 2199);
        double E = ch[0].enhancerPost(enhancerDelay(S, length) * enhancerFactor);
        if (settings.enhancerOn == 1) {
            x[0] = x[0] + E;
            x[1] = x[1] - E;
        } else {
            E = 0;
        }
        r.enhancerPeak = larger(r.enhancerPeak, E);
    }

    void virtualSpeaker(double (&x)[2]) {
        const ProcessorSettings& s = settings;
        const double rate = streamRate;
        const int32_t ds = truncatedInto(s.speakerSpacingCm / 34000.0 * rate, 1, 4800);
        const int32_t dr = truncatedInto(s.roomDistanceM / 340.0 * rate, 1, 4700);
        const int32_t df = truncatedInto(s.roomDistanceM / 340.0 * rate * 1.2, 1, 4700);
        double cross[2], a[2], b[2], r1[2], r2[2], f1[2], f2[2];
        for (int c = 0; c < 2; ++c) {
            SpeakerChannel& v = speaker[c];
            cross[c] = v.cross(v.crossLowpass(v.crossShelf(x[c])), ds);
            a[c] = v.near(x[c], c == 0 ? dr : dr + 98);
            b[c] = v.far(x[c], c == 0 ? df : df + 98);
        }
        for (int c = 0; c < 2; ++c) {
            SpeakerChannel& v = speaker[c];
            double d1 = 0.7 * a[c] + 0.3 * a[1 - c], d2 = 0.7 * b[c] + 0.3 * b[1 - c];
            for (int k = 0; k < 3; ++k) d1 = v.first[k](d1), d2 = v.second[k](d2);
            r1[c] = v.firstNotch(d1);
            f1[c] = v.firstFar(v.firstShelf[1](v.firstShelf[0](r1[c])), 30);
            r2[c] = v.secondNotch(d2);
            f2[c] = v.secondFar(v.secondShelf[1](v.secondShelf[0](r2[c])), 6);
        }
        const double in[2] = {x[0], x[1]};
        for (int c = 0; c < 2; ++c) {
            const int o = 1 - c;
            x[c] = (f1[o] + r1[c] + r2[c] + f2[o]) * s.reflectionPercent / 100.0 * 0.707 + (cross[o] + in[c]) * 0.707;
        }
    }

    void agc(double (&x)[2]) {
        ProcessorParams& r = params;
        double low[2], high[2];
        for (int c = 0; c < 2; ++c) low[c] = ch[c].agcSplitLow(x[c]), high[c] = ch[c].agcSplitHigh(x[c]);
        const double gl = 1.0 - r.agcLowReduction / 23169.0, gh = 1.0 - r.agcHighReduction / 23169.0;
        for (int c = 0; c < 2; ++c) low[c] = gl * low[c], high[c] = gh * high[c];
        const double eLow = larger(over(low[0], agcThreshold), over(low[1], agcThreshold));
        const double eHigh = larger(over(high[0], agcThreshold), over(high[1], agcThreshold));
        r.agcLowReduction = softClip(larger(agcSmoothLow(eLow), agcSpeedLow[agcSpeed - 1](eLow)) * agcGain, agcCeiling, 0);
        r.agcHighReduction = softClip(larger(agcSmoothHigh(eHigh), agcSpeedHigh[agcSpeed - 1](eHigh)) * agcGain, agcCeiling, 0);
        for (int c = 0; c < 2; ++c) x[c] = low[c] + high[c];
    }

    double emphasis(int c, double v, double& hd) {
        ProcessorParams& r = params;
        ChannelFilters& f = ch[c];
        const FilterTemplate& t = coefficientBankFor(streamRate).filterTemplate;
        const double p = f.emphasisInput(v) * 1.584;
        const double h = f.hfSplit(p) * (r.preEmphasis == 1.0 ? t.emphasisGain50 : t.emphasisGain75);
        double& reduction = c == 0 ? r.hfReductionL : r.hfReductionR;
        double& feedback = c == 0 ? r.hfFeedbackL : r.hfFeedbackR;
        // The reduction stops at 23169, where the high band's gain reaches 0.
        reduction = smaller(f.hfReductionSmoother(over(feedback, hfThreshold) * hfFactor), 23169.0);
        feedback = (1.0 - reduction / 23169.0) * h;
        hd = (1.0 - reduction / 23169.0) * f.emphasisHigh(h, 66);
        return f.emphasisMain(p, 66) + hd;
    }

    double bandFilter(int b, int c, double x) {
        ChannelFilters& f = ch[c];
        switch (b) {
            case 0: return f.band0Lowpass(x);
            case 1: return f.band1Highpass(x);
            case 2: return f.band2Lowpass(f.band2Highpass(x));
            case 3: return f.band3Lowpass(f.band3Highpass(x));
            case 4: return f.band4Allpass(f.band4Lowpass(f.band4Highpass(x)));
            default: return f.band5Highpass(x);
        }
    }

    double outputStage(int b, int c, double s) {
        ChannelFilters& f = ch[c];
        int32_t& flag = bands[b].clipFlag;
        if (b == 1) return s;
        const double cl = softClip(s, clip[b], 0, flag);
        switch (b) {
            case 0: return f.band0Post(cl);
            case 2: return f.band2Post(cl + f.bandOvershoot2(s - cl));
            case 3: return f.band3Post(cl + f.bandOvershoot3(s - cl));
            case 4: return f.band4Post(cl);
            default: return cl;
        }
    }

    void runBand(int b, double sideL, double sideR) {
        BandSettings& row = bands[b];
        BandState& st = band[b];
        double xs[2];
        for (int c = 0; c < 2; ++c) xs[c] = bandFilter(b, c, (c == 0 ? row.inputL : row.inputR) * drive[b]);
        if (settings.gateOn == 0) {
            row.gateGain = 1;
            row.gateState = 3;
        } else {
            const double ge = st.gate(larger(std::fabs(xs[0]), std::fabs(xs[1])));
            row.gateGain = limited(ge * gateFactor[b] / 32867.0 * kGateConstants[b], 0.0, 1.0);
            row.gateState = row.gateGain > 0.9 ? 3 : (row.gateGain > 0.5 ? 2 : (row.gateGain > 0.25 ? 1 : 0));
        }
        const double previous = row.reduction;
        double k = 1.0 - previous / 32767.0;
        if (b == 0) {
            const int32_t n = truncatedInto(row.reductionDelayMs * 44.1, 1, 4799);
            row.delayedReduction = reductionDelay(previous, n);
            k = 1.0 - row.delayedReduction / 32767.0;
        }
        double outs[2];
        for (int c = 0; c < 2; ++c) {
            const double y = settings.normalizeGain * xs[c];
            (c == 0 ? row.preReductionL : row.preReductionR) = (1.0 - previous / 32767.0) * y;
            const double d = st.lookAhead[c](y, lookAhead);
            const double shaped = outputStage(b, c, k * d * row.gateGain);
            outs[c] = st.compensation[c](output[b] * shaped, 900 - lookAhead);
        }
        const double e = larger(over(larger(std::fabs(row.preReductionL), std::fabs(sideL)), threshold[b]),
                                over(larger(std::fabs(row.preReductionR), std::fabs(sideR)), threshold[b]));
        double reduction;
        if (b == 0) {
            reduction = st.envelope(e);
        } else {
            const double yB = st.envelope(e), yA = st.attack(e);
            st.envelope.y1 = st.attack.y1 = larger(yA, yB);
            const double yC = st.releaseCopy(e);
            const double w = smaller(std::sqrt(st.crossfade(yA + yB) / 32767.0), 1.0);
            reduction = (1.0 - w) * yB + w * yC;
        }
        row.reduction = smaller(reduction * depth[b], 31743.0);
        row.reductionPeak = larger(row.reductionPeak, row.reduction);
        row.outputL = outs[0];
        row.outputR = outs[1];
    }
};

}  // namespace loudara::reference

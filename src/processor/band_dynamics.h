#pragma once
// The six band processors: band filter, gate, look-ahead gain reduction, output stage,
// detector and compensation delay. Each band leaves 898 samples late, whatever its look-ahead.
//
// Within a frame the bands depend on each other only through the side chains (band 3 feeds
// band 4, band 4 feeds band 5), which carry the pre-reduction signals, and every reduction found
// on a frame applies from the next. So a frame runs in passes over the bands: filters; side
// chains; detectors and envelopes, two bands to a Pair; gates; outputs. A band's output half
// uses only the gain its side-chain half found, so the new reductions may come first.

#include <cmath>
#include <type_traits>

#include "chain_helpers.h"
#include "processor.h"

namespace loudara {

// Gate constants of bands 0..5: scale the gate envelope so each band opens at about the same
// loudness whatever its filter's gain.
inline constexpr double kGateConstant[kBandCount] = {
    1.8867473711207905, 3.186876717566609, 3.3562650531220712,
    5.011033834839105,  3.607278367243023, 4.551510776810894,
};

inline constexpr double kMaxReduction = 31743.0;  // the band gain never falls below about 0.031

// The bands of each envelope group, lane 0 then lane 1 (see BandEnvelopes).
inline constexpr int kGroupBands[kEnvelopeGroups][2] = {{1, 2}, {3, 4}, {5, 0}};

// Band filter chain of band b on the driven input.
inline Pair bandFilter(Processor& p, int b, Pair x) {
    FilterTemplate& f = p.work;
    switch (b) {
        case 0: return step(f.band0Lowpass, x);
        case 1: return step(f.band1Highpass, x);
        case 2: return step(f.band2Lowpass, step(f.band2Highpass, x));
        case 3: return step(f.band3Lowpass, step(f.band3Highpass, x));
        case 4: return step(f.band4Allpass, step(f.band4Lowpass, step(f.band4Highpass, x)));
        default: return step(f.band5Highpass, x);
    }
}

// Output stage of bands 4 and 5 with oversampled clipping on: the same clip, with the overshoot
// read at four times the rate and band-limited (see oversampled_clipper.h), so the band comes out
// kOversamplingDelay frames late. (Bands 2 and 3 lie low enough that what their clips make above
// half the rate is small, and their post filters take it down further.)
inline Pair oversampledBandOutputStage(Processor& p, int b, Pair s, double clipLevel, int32_t& clipFlag) {
    Pair delayed;
    const Pair over = stepOversampledOvershoot(p.bandClipOversampler[b - kFirstOversampledBand], oversamplingTaps(), s,
                                               static_cast<float>(clipLevel), &delayed, &clipFlag);
    const Pair c = delayed - over;
    return b == 4 ? step(p.work.band4Post, c) : c;
}

// Output stage of band b after the gain: clip and post filter.
inline Pair bandOutputStage(Processor& p, int b, Pair s, double clipLevel, int32_t& clipFlag, bool oversampled) {
    FilterTemplate& f = p.work;
    if (oversampled && b >= kFirstOversampledBand) return oversampledBandOutputStage(p, b, s, clipLevel, clipFlag);
    switch (b) {
        case 0: return step(f.band0Post, hardClip(s, clipLevel, clipFlag));
        case 1: return s;  // band 1 is clipped on its sum with band 0
        case 2: {
            const Pair c = hardClip(s, clipLevel, clipFlag);
            return step(f.band2Post, c + step(p.bandOvershoot2, s - c));
        }
        case 3: {
            const Pair c = hardClip(s, clipLevel, clipFlag);
            return step(f.band3Post, c + step(p.bandOvershoot3, s - c));
        }
        case 4: return step(f.band4Post, hardClip(s, clipLevel, clipFlag));
        default: return hardClip(s, clipLevel, clipFlag);
    }
}

// Gates of the bands in group g (gate factor / 32867 x gate constant, limited to 0..1), from
// the louder channel of each band's filtered signal.
inline void bandGates(Processor& p, const BlockValues& v, const Pair (&filtered)[kBandCount]) {
    if (!v.gateOn) {
        for (BandSettings& band : p.bands) {
            band.gateGain = 1.0;
            band.gateState = 3;
        }
        return;
    }
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        const int b0 = kGroupBands[g][0], b1 = kGroupBands[g][1];
        const Pair louder = pairOf(absMax(filtered[b0][0], filtered[b0][1]), absMax(filtered[b1][0], filtered[b1][1]));
        const Pair ge = step(p.envelopes.gate[g], louder);
        Pair gain = ge * pairOf(v.band[b0].gateFactor, v.band[b1].gateFactor) / 32867.0 *
                    pairOf(kGateConstant[b0], kGateConstant[b1]);
        gain = pairMin(pairMax(gain, Pair{}), Pair{1.0, 1.0});
        for (int lane = 0; lane < 2; ++lane) {
            BandSettings& band = p.bands[kGroupBands[g][lane]];
            const double gg = gain[lane];
            band.gateGain = gg;
            band.gateState = gg > 0.9 ? 3 : (gg > 0.5 ? 2 : (gg > 0.25 ? 1 : 0));
        }
    }
}

// Gains 1 - reduction/32767 of the reductions found on the previous frame, two bands per
// division, paired as bandReductions computes them.
struct ReductionGains {
    double band[kBandCount];
};

inline ReductionGains reductionGains(const BandSettings (&bands)[kBandCount]) {
    ReductionGains gains;
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        const int b0 = kGroupBands[g][0], b1 = kGroupBands[g][1];
        const Pair k = 1.0 - pairOf(bands[b0].reduction, bands[b1].reduction) / 32767.0;
        gains.band[b0] = k[0];
        gains.band[b1] = k[1];
    }
    return gains;
}

// With oversampled clipping on, the gains of the top bands' output halves are band-limited: with
// a fast attack a band's reduction follows its waveform a little, and a gain that moves at audio
// rate makes products above half the rate as a clipper does (below band 4 they stay under it).
// The reductions 1 - gain pass a low-pass, bands 4 and 5 in one Pair (a cleared filter: no
// reduction).
inline void bandLimitGains(Processor& p, double (&gain)[kBandCount]) {
    const Pair r = step(p.topBandsReductionBandLimit, 1.0 - pairOf(gain[4], gain[5]));
    gain[4] = 1.0 - r[0];
    gain[5] = 1.0 - r[1];
}

// Side-chain half of band b's signal path: the level and the side-chain output that the
// detectors see. Returns the gain of the band's output half on this frame. `gain` is the band's
// entry of reductionGains, taken before any band of this frame has run.
inline double bandSideChain(Processor& p, int b, const BlockValues& v, Pair filtered, double gain) {
    BandSettings& band = p.bands[b];
    const Pair preReduction = gain * (v.normalizeGain * filtered);
    band.preReductionL = preReduction[0];
    band.preReductionR = preReduction[1];
    if (b == 0) {
        // Band 0's gain follows its reduction reductionDelayMs later.
        band.delayedReduction = step(p.reductionDelay, band.reduction, v.reductionDelay);
        return 1.0 - band.delayedReduction / 32767.0;
    }
    return gain;
}

// Output half of band b's signal path, with the gain k from bandSideChain, in two parts: the
// look-ahead, gain and gate give the output stage's input; the stage, output level and
// compensation delay take it to the band's output.
inline Pair bandStageInput(Processor& p, int b, double normalizeGain, Pair filtered, double k) {
    BandSettings& band = p.bands[b];
    const Pair delayed = step(p.bandMemory[b].lookAhead, normalizeGain * filtered, band.lookAheadLength);
    return k * delayed * band.gateGain;
}

inline Pair bandStageOutput(Processor& p, int b, const BandDerived& d, Pair stageInput, bool oversampled) {
    BandSettings& band = p.bands[b];
    const Pair shaped = bandOutputStage(p, b, stageInput, d.clipLevel, band.clipFlag, oversampled);
    const Pair out = step(p.bandMemory[b].compensation, d.outputFactor * shaped, kLookAheadCapacity - band.lookAheadLength);
    band.outputL = out[0];
    band.outputR = out[1];
    return out;
}

// Both parts at once: the path of a settled look-ahead. (With oversampled clipping on, the band
// loop takes only the first part of bands 4 and 5, and a loop of its own over the run the second,
// so that the loop that carries the reductions' feedback does not hold the high-rate work.)
inline void settledBandOutput(Processor& p, int b, double normalizeGain, const BandDerived& d, Pair filtered,
                              double k, bool oversampled) {
    bandStageOutput(p, b, d, bandStageInput(p, b, normalizeGain, filtered, k), oversampled);
}

// The same; `shifting` (compiled in) while a retune moves the look-ahead (look_ahead_shift.h).
// The shifting path gets copies of the block's values: were they to escape into a call, the
// chain would read them from memory again after every store.
template <bool Shifting>
inline void bandOutput(Processor& p, int b, const BlockValues& v, Pair filtered, double k,
                       std::bool_constant<Shifting>) {
    if constexpr (Shifting) {
        shiftingBandOutput(p, b, v.normalizeGain, v.band[b], filtered, k, v.oversampledClipping);
    } else {
        settledBandOutput(p, b, v.normalizeGain, v.band[b], filtered, k, v.oversampledClipping);
    }
}

// Detector input of band b: how far the louder of its own pre-reduction signal and the side
// chain rises above the threshold, in the louder channel.
inline double bandDetector(const BandSettings& band, const BandDerived& d, Pair sideChain) {
    const Pair own = pairOf(band.preReductionL, band.preReductionR);
    return maxLane(overThreshold(pairMax(pairAbs(own), pairAbs(sideChain)), d.thresholdLevel));
}

// The detector input of bandDetector rectified at twice the rate (oversampled clipping on, bands
// 4 and 5; see twice_rate_detector.h): kDetectorDelay samples later than the plain one.
inline double twiceRateBandDetector(const BandSettings& band, const BandDerived& d, Pair sideChain,
                                    DetectorHistory& h) {
    const Pair own = pairOf(band.preReductionL, band.preReductionR);
    return maxLane(twiceRateOverThreshold(h, own, sideChain, d.thresholdLevel));
}

// New reductions of all bands from their detector inputs e. Band 0 follows its envelope filter B
// alone. Bands 1..5 use the dual envelope: B (release) and A (attack) share the larger output,
// so the envelope rises with the faster and falls with the slower; the stronger the recent
// reduction (crossfade X of A + B), the more the plain release copy C takes over:
// r = (1 - w) * yB + w * yC with w = sqrt(X(yA + yB) / 32767), at most 1.
inline void bandReductions(Processor& p, const BlockValues& v, const double (&e)[kBandCount]) {
    BandEnvelopes& env = p.envelopes;
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        const int b0 = kGroupBands[g][0], b1 = kGroupBands[g][1];
        const Pair in = pairOf(e[b0], e[b1]);
        const Pair yB = step(env.release[g], in);
        const Pair yA = step(env.attack[g], in);
        const Pair larger = pairMax(yA, yB);
        // Band 0 (lane 1 of the last group) has no attack filter: its envelope keeps yB.
        env.release[g].y1 = g == 2 ? pairOf(larger[0], yB[1]) : larger;
        env.attack[g].y1 = larger;
        const Pair yC = step(env.releaseCopy[g], in);
        const Pair smoothed = step(env.crossfade[g], yA + yB);
        Pair w = _mm_sqrt_pd(pairMax(smoothed, Pair{}) / 32767.0);
        w = pairMin(w, Pair{1.0, 1.0});
        Pair r = (1.0 - w) * yB + w * yC;
        if (g == 2) r[1] = yB[1];

        const Pair depth = pairOf(v.band[b0].depthFactor, v.band[b1].depthFactor);
        const Pair reduction = pairMin(r * depth, Pair{kMaxReduction, kMaxReduction});
        for (int lane = 0; lane < 2; ++lane) {
            BandSettings& band = p.bands[kGroupBands[g][lane]];
            band.reduction = reduction[lane];
            band.reductionPeak = maxOf(band.reductionPeak, band.reduction);
        }
    }
}

}  // namespace loudara

#pragma once
// The six band processors: band filter, gate, look-ahead gain reduction, output stage,
// detector and compensation delay. Each band leaves 898 samples late, whatever its look-ahead.

#include <cmath>

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

// Dual envelope of bands 1..5: the release filter B and the attack filter A share the larger
// output, so the envelope rises with the faster and falls with the slower; the stronger the
// recent reduction (crossfade X of A + B), the more the plain release copy C takes over.
inline double dualEnvelope(OnePole& release, OnePole& attack, OnePole& releaseCopy, OnePole& crossfade, double e) {
    const double yB = step(release, e);
    const double yA = step(attack, e);
    const double larger = maxOf(yA, yB);
    release.y1 = larger;
    attack.y1 = larger;
    const double s = yA + yB;
    const double yC = step(releaseCopy, e);
    const double smoothed = step(crossfade, s);
    double w = std::sqrt((smoothed > 0.0 ? smoothed : 0.0) / 32767.0);
    if (w > 1.0) w = 1.0;
    return (1.0 - w) * yB + w * yC;
}

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

// Output stage of band b after the gain: clip and post filter.
inline Pair bandOutputStage(Processor& p, int b, Pair s, double clipLevel, int32_t& clipFlag) {
    FilterTemplate& f = p.work;
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

// One frame of band b. sideChain is the louder signal from the band below (zero for 0..3).
inline void processBand(Processor& p, int b, const BlockValues& v, Pair sideChain) {
    BandSettings& band = p.bands[b];
    const BandDerived& d = v.band[b];
    BandMemory& memory = p.bandMemory[b];
    const double previousReduction = band.reduction;

    const Pair x = bandFilter(p, b, pairOf(band.inputL, band.inputR) * d.driveFactor);

    if (!v.gateOn) {
        band.gateGain = 1.0;
        band.gateState = 3;
    } else {
        const double ge = step(p.active.gateSlots[b], absMax(x[0], x[1]));
        double g = ge * d.gateFactor / 32867.0 * kGateConstant[b];
        g = g < 0.0 ? 0.0 : (g > 1.0 ? 1.0 : g);
        band.gateGain = g;
        band.gateState = g > 0.9 ? 3 : (g > 0.5 ? 2 : (g > 0.25 ? 1 : 0));
    }

    const Pair y = v.normalizeGain * x;
    const Pair preReduction = (1.0 - previousReduction / 32767.0) * y;
    band.preReductionL = preReduction[0];
    band.preReductionR = preReduction[1];

    const Pair delayed = step(memory.lookAhead, y, band.lookAheadLength);

    double k;
    if (b == 0) {
        band.delayedReduction = step(p.reductionDelay, previousReduction, v.reductionDelay);
        k = 1.0 - band.delayedReduction / 32767.0;
    } else {
        k = 1.0 - previousReduction / 32767.0;
    }

    const Pair shaped = bandOutputStage(p, b, k * delayed * band.gateGain, d.clipLevel, band.clipFlag);

    const double e = maxOf(overThreshold(absMax(preReduction[0], sideChain[0]), d.thresholdLevel),
                           overThreshold(absMax(preReduction[1], sideChain[1]), d.thresholdLevel));
    const double r = b == 0 ? step(p.active.envelopeSlots[0], e)
                            : dualEnvelope(p.active.envelopeSlots[b], p.dualFast[b], p.dualSlow[b],
                                           band.crossfadeFilter, e);
    const double reduction = r * d.depthFactor;
    band.reduction = reduction < kMaxReduction ? reduction : kMaxReduction;
    band.reductionPeak = maxOf(band.reductionPeak, band.reduction);

    const Pair out = step(memory.compensation, d.outputFactor * shaped, kLookAheadCapacity - band.lookAheadLength);
    band.outputL = out[0];
    band.outputR = out[1];
}

}  // namespace loudara

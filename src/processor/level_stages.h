#pragma once
// The level stages around the bands: the two-part wideband AGC, the emphasis with its HF
// limiter, and the final clipper.

#include "chain_helpers.h"
#include "processor.h"

namespace loudara {

// Two-part wideband AGC split at 200 Hz (low plus high gives back the input exactly). Each
// part's detector sees the louder channel above the threshold; the reduction found on this frame
// applies from the next, so the detector sees the already reduced signal (feedback). The low
// and high detectors run side by side in the lanes of one Pair.
inline Pair widebandAgc(Processor& p, const BlockValues& v, Pair x) {
    CoefficientBank& a = p.active;
    ProcessorParams& r = p.params;
    // Both parts' gains from last frame's reductions, in one division.
    const Pair gain = 1.0 - pairOf(r.agcLowReduction, r.agcHighReduction) / 23169.0;
    const Pair lowPart = step(a.agcSplitLow, x), highPart = step(a.agcSplitHigh, x);
    const Pair low = gain[0] * lowPart;
    const Pair high = gain[1] * highPart;
    const Pair e = pairOf(maxLane(overThreshold(low, v.agcThreshold)), maxLane(overThreshold(high, v.agcThreshold)));
    const Pair e1 = step(a.agcSmooth, e);
    const Pair e2 = step(a.agcSpeed[v.agcSpeed - 1], e);
    const Pair reduction = hardClipSigned(pairMax(e1, e2) * v.agcGainFactor, v.agcCeiling);
    r.agcLowReduction = reduction[0];
    r.agcHighReduction = reduction[1];
    // With oversampled clipping on, the gains that are heard follow these smoothly (the detectors
    // still see the plain ones).
    if (v.oversampledClipping) {
        p.agcHeardGain += p.agcHeardFollow * (gain - p.agcHeardGain);
        return p.agcHeardGain[0] * lowPart + p.agcHeardGain[1] * highPart;
    }
    return low + high;
}

inline constexpr double kHfReductionLimit = 23169.0;

// Pre-emphasis with HF limiter. The reduction is computed from the previous limited high band
// and applied to a copy of the high band delayed by 65 samples, together with the main path, so
// the limiter acts before the peak it saw is heard.
inline Pair emphasisAndHfLimiter(Processor& p, const BlockValues& v, Pair x) {
    FilterTemplate& f = p.work;
    ProcessorParams& r = p.params;
    const Pair emphasised = step(f.emphasisInput, x) * 1.584;
    const Pair high = step(f.hfSplit, emphasised) * (v.emphasis50 ? f.emphasisGain50 : f.emphasisGain75);
    const Pair feedback = pairOf(r.hfFeedbackL, r.hfFeedbackR);
    // At most 23169, where the gain reaches 0: a deeper reduction would turn the high band over
    // and feed the limiter its own growing output.
    // With oversampled clipping on, the detector rectifies at twice the rate (twice_rate_detector.h).
    Pair detected;
    if (v.oversampledClipping) {
        detected = twiceRateOverThreshold(p.hfDetector, feedback, v.hfThreshold);
    } else {
        detected = overThreshold(feedback, v.hfThreshold);
    }
    Pair reduction = step(f.hfReductionSmoother, detected * v.hfFactor);
    reduction = pairMin(reduction, Pair{kHfReductionLimit, kHfReductionLimit});
    const Pair gain = 1.0 - reduction / 23169.0;
    const Pair limitedHigh = gain * high;
    r.hfReductionL = reduction[0];
    r.hfReductionR = reduction[1];
    r.hfFeedbackL = limitedHigh[0];
    r.hfFeedbackR = limitedHigh[1];
    // The reduction follows the high band's waveform a little (the smoother is short), and a gain
    // that moves at audio rate makes products above half the rate as a clipper does. With
    // oversampled clipping on, the gain that is heard is band-limited first; the limiter's own
    // loop still sees the plain one.
    const Pair heardGain =
        v.oversampledClipping ? 1.0 - step(p.hfReductionBandLimit, reduction) / 23169.0 : gain;
    const Pair hd = heardGain * step(p.emphasisHfDelay, high, kEmphasisDelayLength);
    r.hfLimitPeak = maxOf(r.hfLimitPeak, maxLane(hd));
    return step(p.emphasisMainDelay, emphasised, kEmphasisDelayLength) + hd;
}

// Final clipper. Adaptive: the signal is not clipped; instead a gain that follows the low-passed
// overshoot lowers it, 2 samples late so the gain meets the peak. Hard: clipped, with the part
// of the overshoot below about 2 kHz put back.
inline Pair finalClipper(Processor& p, const BlockValues& v, Pair x) {
    FilterTemplate& f = p.work;
    const Pair c = hardClip(x, v.finalClipLevel);
    const Pair over = x - c;
    if (v.adaptiveClipper) {
        Pair k = step(f.clipOvershoot, pairAbs(over)) / 32767.0 * 2.0;
        k = pairMin(pairMax(k, Pair{}), Pair{0.5, 0.5});
        return (1.0 - k) * step(p.clipperDelay, x, kClipperDelayLength);
    }
    return c + step(f.clipOvershoot, over);
}

// (The high-rate frames pass between inline functions only: see oversampled_clipper.h.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// The final clipper on the overshoot read at four times the rate and band-limited (see
// oversampled_clipper.h), kOversamplingDelay frames late: the same two types, each with the
// overshoot it takes at the base rate replaced by the high-rate one.
inline Pair oversampledFinalClipper(Processor& p, const BlockValues& v, Pair x) {
    const OversamplingTaps& taps = oversamplingTaps();
    const float level = static_cast<float>(v.finalClipLevel);
    Pair delayed;
    if (v.adaptiveClipper) {
        // (1 - k) x as x - k x, with k x taken at the high rate and band-limited.
        const Pair r = stepAdaptiveReduction(p.finalClipOversampler, p.adaptiveClipPath, taps, x, level, &delayed);
        return step(p.clipperDelay, delayed, kClipperDelayLength) - r;
    }
    const Pair over = stepOversampledOvershoot(p.finalClipOversampler, taps, x, level, &delayed);
    return delayed - over + step(p.work.clipOvershoot, over);
}

#pragma GCC diagnostic pop

// Post clip: clipped, with the part of the overshoot below about 2 kHz put back.
inline Pair postClip(Processor& p, const BlockValues& v, Pair x) {
    const Pair c = hardClip(x, v.postClipLevel);
    return c + step(p.work.postClipOvershoot, x - c);
}

// The post clip on the overshoot read at four times the rate, kOversamplingDelay frames late.
inline Pair oversampledPostClip(Processor& p, const BlockValues& v, Pair x) {
    Pair delayed;
    const Pair over =
        stepOversampledOvershoot(p.postClipOversampler, oversamplingTaps(), x, static_cast<float>(v.postClipLevel), &delayed);
    return delayed - over + step(p.work.postClipOvershoot, over);
}

}  // namespace loudara

#pragma once
// Value helpers of the chain and the values it computes once per block.

#include <emmintrin.h>

#include <cmath>

#include "filters.h"
#include "params.h"

namespace loudara {

// x inside [-t, t] passes; above t gives t + (x - t)*r, below -t gives -t - (-x - t)*r, and
// either sets the flag. r = 0 is a hard clamp. A negative t passes nothing: everything
// above t comes out at t.
inline double softClip(double x, double t, double r, int32_t& flag) {
    if (x > t) {
        flag = 1;
        return t + (x - t) * r;
    }
    if (x < -t) {
        flag = 1;
        return -t - (-x - t) * r;
    }
    return x;
}

inline double softClip(double x, double t, double r) {
    int32_t ignored = 0;
    return softClip(x, t, r, ignored);
}

// Hard clamp of both lanes to [-t, t] (t >= 0); sets the flag when either lane was limited.
inline Pair hardClip(Pair x, double t, int32_t& flag) {
    const Pair c = pairMin(pairMax(x, -t + Pair{}), t + Pair{});
    if (_mm_movemask_pd(c != x)) flag = 1;
    return c;
}

inline Pair hardClip(Pair x, double t) { return pairMin(pairMax(x, -t + Pair{}), t + Pair{}); }

// softClip with r = 0 in both lanes, for any sign of t: above t gives t, else below -t gives -t.
inline Pair hardClipSigned(Pair x, double t) {
    const Pair top = Pair{} + t;
    const Pair bottom = Pair{} - t;
    const Pair lowered = x < bottom ? bottom : x;
    return x > top ? top : lowered;
}

inline double maxOf(double a, double b) { return a > b ? a : b; }
inline double minOf(double a, double b) { return a < b ? a : b; }
inline double overThreshold(double x, double t) { return maxOf(std::fabs(x) - t, 0.0); }
inline double absMax(double a, double b) { return maxOf(std::fabs(a), std::fabs(b)); }

// max(|x| - t, 0) in both lanes.
inline Pair overThreshold(Pair x, double t) { return pairMax(pairAbs(x) - t, Pair{}); }

// The larger lane.
inline double maxLane(Pair x) { return maxOf(x[0], x[1]); }

// Left and right exchanged.
#if defined(__clang__)
inline Pair swapped(Pair x) { return __builtin_shufflevector(x, x, 1, 0); }
#else
inline Pair swapped(Pair x) { return __builtin_shuffle(x, PairMask{1, 0}); }
#endif

// processBlock takes the frames of a block through the chain in runs of at most this many.
inline constexpr int32_t kRunFrames = 128;

// Values computed from the settings once per block.
struct BlockValues {
    double agcGainFactor;
    double agcThreshold;
    double finalClipLevel;
    double enhancerFactor;
    double hfThreshold;
    double hfFactor;
    double postClipLevel;
    int agcSpeed;  // 1..4
    double normalizeGain;
    BandDerived band[kBandCount];
    double lowSumClipRatio;
    double agcCeiling;

    // Settings the chain reads per frame; nothing changes them while a block is processed.
    bool bypass;
    bool truePeakLimiter;    // settings.truePeakLimiter, and not bypassed
    double truePeakCeiling;  // the limiter's ceiling less its margin, 16-bit scale
    bool oversampledClipping;  // settings.oversampledClipping, and not bypassed
    bool enhancerOn;
    bool phaseShifterOn;
    bool bassEqOn;
    bool virtualSpeakerOn;
    bool gateOn;
    bool emphasisOn;
    bool emphasis50;
    bool deEmphasisOn;
    bool adaptiveClipper;
    bool finalFir;
    int preEmphasisTruncated;
    int enhancerMode;
    double channelMode;
    double band4SideChainFactor;
    double band5SideChainFactor;

    // Delay lengths of the enhancer and the virtual speaker at the stream rate.
    int32_t enhancerDelay;
    int32_t speakerCrossDelay;
    int32_t speakerNearDelay;
    int32_t speakerFarDelay;
    int32_t reductionDelay;  // band 0
};

}  // namespace loudara

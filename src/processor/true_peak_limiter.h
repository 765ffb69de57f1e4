#pragma once
// The true-peak limiter after the chain's last stage (an option, off by default): it reads the
// output four times oversampled and lowers one gain for both channels, with a look-ahead and a
// smooth release, so that the peaks between the samples stay under the ceiling.
//
// Per frame n (16-bit scale): the interpolator gives the four values of the step; the peak around
// sample m = n - kTruePeakDelay is the highest of the steps before and after it, and the gain it
// needs is g[m] = min(1, ceiling / peak). The gain path is
//     h = min of g over the last L + 2W samples  (holds a reduction for the whole look-ahead)
//     r = min(h, r + (1 - r) * releaseCoef)      (recovers smoothly: a one-pole release)
//     s = mean of r over the last L samples      (ramps down over L samples instead of jumping)
// and s is applied to the sample L + W - 1 frames after m's own step: every r in the mean lies
// under g of every sample within W of it, so the gain is flat under g[m] for W samples either
// side of a peak, the span over which the interpolation between samples reaches.
// The delay is kTruePeakDelay + L + W - 1 frames.

#include <cmath>
#include <cstdint>

#include "filters.h"
#include "true_peak_interpolator.h"

namespace loudara {

inline constexpr int kLimiterCapacity = 256;  // frames; a power of two above the longest delay
inline constexpr double kLimiterLookAheadMs = 1.5;
inline constexpr double kLimiterReleaseMs = 25.0;
inline constexpr int kLimiterFlatFrames = 8;  // W
// Kept under the ceiling: the 4x reading may miss a peak between its points by a little.
inline constexpr double kLimiterMarginDb = 0.2;
// Switched while the sound runs, the output fades between the chain's own output and the
// limiter's (which lies truePeakLimiterDelay frames behind it) over this long, so the jump in
// time never clicks.
inline constexpr double kLimiterSwitchMs = 10.0;

struct TruePeakLimiter {
    // Set by prepareTruePeakLimiter.
    int lookAhead = 66;
    double releaseCoef = 0.0;
    // The interpolators and the gain path.
    TruePeakHistory historyL, historyR;
    float previousStepPeak = 0.0f;
    double required[kLimiterCapacity] = {};  // g of the last L samples, a ring by frame count
    int64_t window[kLimiterCapacity] = {};   // frame counts of the ascending minimum candidates
    int64_t windowFirst = 0, windowEnd = 0;  // indexes into `window`, counting up, masked
    double release = 1.0;
    double recent[kLimiterCapacity] = {};  // r of the last L samples (1 after a clear)
    double recentSum = 0.0;
    Pair delayed[kLimiterCapacity] = {};
    int64_t frame = 0;  // counts up, masked where it indexes a ring
    // Gain reduction since the last reset: the lowest gain, and the sum of the gains of the
    // frames it reduced.
    double lowestGain = 1.0;
    double reducedGainSum = 0.0;
    int64_t frames = 0, reducedFrames = 0;
    // The switch (kept by clearTruePeakLimiter; a processor reset sets it to the setting): how
    // much of the output is the limiter's, whether the limiter runs, the frames left before a
    // fade in may start (its delay line filling), and the fade's step per frame.
    double mix = 0.0;
    bool running = false;
    int warmUp = 0;
    double mixStep = 1.0;
};

// Latency in frames at the processor's rate.
inline int truePeakLimiterDelay(const TruePeakLimiter& l) {
    return kTruePeakDelay + l.lookAhead + kLimiterFlatFrames - 1;
}

// Sets the look-ahead, release and switching fade for `sampleRate` and clears the state.
void prepareTruePeakLimiter(TruePeakLimiter& l, int sampleRate);
// Back to silence (the look-ahead, release and switch stay).
void clearTruePeakLimiter(TruePeakLimiter& l);
// Puts the switch where `on` says at once, for a stream that starts afresh.
inline void setTruePeakLimiterSwitch(TruePeakLimiter& l, bool on) {
    l.mix = on ? 1.0 : 0.0;
    l.running = on;
    l.warmUp = 0;
}

// One frame at the 16-bit scale in, the frame truePeakLimiterDelay frames earlier out, limited
// to `ceiling` (a 16-bit-scale magnitude).
inline Pair stepTruePeakLimiter(TruePeakLimiter& l, Pair x, double ceiling) {
    constexpr int kMask = kLimiterCapacity - 1;
    const TruePeakPhases* taps = truePeakTaps();
    const TruePeakPhases left = magnitudes(stepInterpolator(l.historyL, taps, static_cast<float>(x[0])));
    const TruePeakPhases right = magnitudes(stepInterpolator(l.historyR, taps, static_cast<float>(x[1])));
    const float stepPeak = highestLane(left > right ? left : right);
    const double around = stepPeak > l.previousStepPeak ? stepPeak : l.previousStepPeak;
    l.previousStepPeak = stepPeak;
    const double needed = around > ceiling ? ceiling / around : 1.0;

    // Minimum over the last L values of `needed`: a queue of candidates in ascending order.
    const int64_t n = l.frame;
    while (l.windowEnd != l.windowFirst && l.required[l.window[(l.windowEnd - 1) & kMask] & kMask] >= needed) {
        --l.windowEnd;
    }
    l.required[n & kMask] = needed;
    l.window[l.windowEnd++ & kMask] = n;
    if (l.window[l.windowFirst & kMask] <= n - l.lookAhead - 2 * kLimiterFlatFrames) ++l.windowFirst;
    const double held = l.required[l.window[l.windowFirst & kMask] & kMask];

    l.release += (1.0 - l.release) * l.releaseCoef;
    if (held < l.release) l.release = held;
    const int slot = static_cast<int>(n % l.lookAhead);
    l.recentSum += l.release - l.recent[slot];
    l.recent[slot] = l.release;
    if (slot == 0) {  // summed afresh once per look-ahead, so rounding never builds up
        l.recentSum = 0.0;
        for (int i = 0; i < l.lookAhead; ++i) l.recentSum += l.recent[i];
    }
    const double gain = l.recentSum / l.lookAhead;

    l.delayed[n & kMask] = x;
    const Pair out = l.delayed[(n - truePeakLimiterDelay(l)) & kMask] * gain;
    l.frame = n + 1;

    ++l.frames;
    if (gain < 0.99989) {  // 0.001 dB: the release's approach to 1 is not a reduction
        ++l.reducedFrames;
        l.reducedGainSum += gain;
        if (gain < l.lowestGain) l.lowestGain = gain;
    }
    return out;
}

// The limiter as the switch `on` has it: limited while on, the frame as it is while off, and a
// fade between the two when the switch turns while the sound runs. Turned on, the limiter starts
// from silence and its delay line fills (the chain's own output goes on meanwhile) before the
// fade in; turned off, it fades out and stops.
inline Pair switchedTruePeakLimiter(TruePeakLimiter& l, Pair x, bool on, double ceiling) {
    if (on && l.mix == 1.0) return stepTruePeakLimiter(l, x, ceiling);
    if (!l.running) {
        if (!on) return x;
        clearTruePeakLimiter(l);
        l.running = true;
        l.warmUp = truePeakLimiterDelay(l);
    }
    const Pair limited = stepTruePeakLimiter(l, x, ceiling);
    if (l.warmUp > 0) {
        --l.warmUp;
        if (on) return x;
    }
    l.mix = on ? std::fmin(1.0, l.mix + l.mixStep) : std::fmax(0.0, l.mix - l.mixStep);
    if (l.mix == 0.0) l.running = false;
    return x * (1.0 - l.mix) + limited * l.mix;
}

}  // namespace loudara

#pragma once
// Clipping at four times the rate, for the final clipper and the post clip (an option, off by
// default). A clipper at the base rate folds the harmonics it makes above half the rate back
// into the band, where they land on no harmonic of the music (aliases: a clipped 15 kHz tone at
// 44.1 kHz puts its fifth harmonic, 75 kHz, at 2 * 44.1 kHz - 75 kHz = 13.2 kHz). Here the stage's input
// is interpolated to four times the rate, the overshoot x - clip(x) is taken there, and the
// overshoot is band-limited to the base band on its way back down. The stage then subtracts it
// from its input, delayed to match, exactly as it subtracts the base-rate overshoot; a signal
// that never reaches the level at the high rate passes unchanged, only delayed.
//
// At the high rate the overshoot is not sampled but averaged between neighbouring samples (the
// first-order antiderivative method): with o(u) = u - clip(u) and its antiderivative
// G(u) = o(u)^2 / 2,
//     v[m] = (G(u[m]) - G(u[m - 1])) / (u[m] - u[m - 1]),
// the mean of o over the straight line between the two samples. The corner where the clip begins
// no longer jumps from one sample to the next, so the harmonics that still fold at four times
// the rate come out 20 dB and more lower. Where both samples lie on the same side of the level
// the mean is (o(u[m]) + o(u[m - 1])) / 2 exactly, which is how it is computed there (the
// difference of two large G would lose the float's precision).
//
// The filters are linear-phase FIRs of 4K taps at the high rate (Kaiser-windowed sincs cut at
// the base rate's Nyquist frequency). Interpolating takes K taps per phase:
//     u[4n + p] = 4 * sum over k of h[4k + p] x[n - k],   p = 0..3,
// with h centred on tap 2K - 1, so u[4n + p] belongs to time n + (p + 1/2)/4 - (2K - 1)/4: half a
// high-rate sample late, which the averaging takes back (v[m] belongs to the middle of u[m - 1]
// and u[m]). The decimator, centred between taps, keeps the newest high-rate value of each frame,
//     d[n] = sum over j of g[j] v[4n + 3 - j],
// so d[n] belongs to time n + 3/4 - (2K - 1)/4 - 1/8 - (4K - 1)/8 = n - (K - 1): the delay is
// K - 1 frames.
//
// Each frame's four high-rate values of both channels ride in one 8-lane float vector (left
// phases 0..3, right phases 0..3), so each filter takes K vector multiply-adds per frame. Float
// is ample here: the overshoot's rounding lies more than 100 dB under the signal.

#include <cmath>

#include "filters.h"

// The 8-lane frames pass between inline functions only, and those that take or give one are
// always inlined: a call that passes one by value, out of line in a unit built without AVX,
// goes on the stack, and GCC 12 has been seen to leave 64 bytes there per call inside a loop
// (until the stack ran out). GCC's note that such a vector is passed differently with and
// without AVX concerns calls across compiled units, which never happen here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {

inline constexpr int kOversamplingFactor = 4;
inline constexpr int kOversamplingTapsPerPhase = 24;  // K
inline constexpr int kOversamplingDelay = kOversamplingTapsPerPhase - 1;

typedef float OversampledFrame __attribute__((vector_size(32)));

struct OversamplingTaps {
    // up[k] lane p and 4 + p: 4 h[4k + p] (it multiplies x[n - k], both channels).
    OversampledFrame up[kOversamplingTapsPerPhase];
    // down[k] lane q and 4 + q: g[4k + 3 - q] (it multiplies phase q of frame n - k).
    OversampledFrame down[kOversamplingTapsPerPhase];
    // The largest sum of |up[k]| over a phase outside the central frames (below), with a margin
    // for the float sums: the rest of a high-rate value, beyond the central frames' share, is at
    // most this times the largest input magnitude among the K frames it is made of.
    float tailGain = 0;
};

// The frames nearest the interpolator's centre, which carry most of its weight.
inline constexpr int kCentralFrames = 8;
inline constexpr int kFirstCentralFrame = kOversamplingTapsPerPhase / 2 - kCentralFrames / 2;

// Designed once: Kaiser windows beta 5 over 4K = 96 taps, cut at a quarter of the high rate's
// Nyquist frequency: within 0.1 dB up to 0.44 of the base rate and 54 dB and more down from 0.57,
// so neither the input's images nor the overshoot's products above the base band come back into
// it, while the overshoot of the band up to 0.44 of the rate is subtracted whole. (32 taps per
// phase with beta 7.5, 77 dB down from 0.58, measured no lower alias on any preset's tones, at a
// third more work.)
// They are designed as the program loads, so that the chain, which reads them for every frame,
// need not call out (a call it cannot see into would make it save every value it holds in a
// register, and read its filters' states again, on each frame).
extern const OversamplingTaps kOversamplingTaps;
inline const OversamplingTaps& oversamplingTaps() { return kOversamplingTaps; }

// One stage's state: the last R input frames and high-rate overshoot frames, each ring written
// twice (newest first from `at`) so that any K in a row from the newest lie in one run; and the
// input delayed to meet the overshoot. R = K + 3: after a stretch in which the high-rate work was
// skipped, the high-rate values of the three frames before can still be computed.
//
// The work is skipped where it cannot change the result. A high-rate value is the central frames'
// share (computed for every frame) plus a rest that the tail gain times the largest input
// magnitude of the last K frames bounds (kept per block of 8 frames, conservatively). Where that
// sum stays under the level for the frame and the one before, the mean overshoot is exactly 0
// and the rest is not computed. Once K frames in a row have had no overshoot, the decimator sums
// zeros and is not run either.
inline constexpr int kOversamplingHistory = kOversamplingTapsPerPhase + 3;

struct ClipOversampler {
    OversampledFrame input[2 * kOversamplingHistory] = {};
    OversampledFrame overshoot[2 * kOversamplingHistory] = {};
    OversampledFrame lastHigh = {};  // u of the frame before, for the average across frames
    int at = 0;
    // Input peaks: of the blocks of kPeakBlockFrames before, and of the block being filled.
    static constexpr int kPeakBlocks = 4, kPeakBlockFrames = 8;
    float blockPeak[kPeakBlocks] = {};
    float blocksPeak = 0;  // the largest of blockPeak
    float fillingPeak = 0;
    int filledFrames = 0, block = 0;
    bool previousUnderLevel = false;  // the bound held for the frame before
    bool underLevel = false;          // it holds for the newest frame and the one before
    int quietOvershootFrames = 0;     // frames in a row with no high-rate overshoot
    bool highValuesCurrent = false;   // lastHigh (and the adaptive path's history) hold the frames before
    PureDelay<Pair, kOversamplingDelay> delayedInput;
};

// How the overshoot over the level is read at the high rate: with its sign (a hard clip's
// overshoot, to subtract) or as a magnitude (what drives the adaptive clipper's gain).
enum class Overshoot { Signed, Magnitude };

typedef int OversampledMask __attribute__((vector_size(32)));

// Whether any lane of m is set, folded in halves.
inline bool anyLane(OversampledMask m) {
    m |= __builtin_shuffle(m, OversampledMask{4, 5, 6, 7, 0, 1, 2, 3});
    m |= __builtin_shuffle(m, OversampledMask{2, 3, 0, 1, 6, 7, 4, 5});
    m |= __builtin_shuffle(m, OversampledMask{1, 0, 3, 2, 5, 4, 7, 6});
    return m[0] != 0;
}
[[gnu::always_inline]]
inline bool anyNonZero(OversampledFrame v) { return anyLane(v != OversampledFrame{}); }

// The three steps of a stage at the high rate.

// The sum of taps[k] * history[k] over the taps First to First + Count - 1, lane by lane. Four
// running sums side by side, so that each add need not wait for the one before: one sum would
// wait out an add's latency Count times in a row.
template <int First, int Count>
[[gnu::always_inline]]
inline OversampledFrame dotProduct(const OversampledFrame* taps, const OversampledFrame* history) {
    static_assert(Count % 4 == 0);
    OversampledFrame a = taps[First] * history[First], b = taps[First + 1] * history[First + 1];
    OversampledFrame c = taps[First + 2] * history[First + 2], d = taps[First + 3] * history[First + 3];
    for (int k = First + 4; k < First + Count; k += 4) {
        a += taps[k] * history[k];
        b += taps[k + 1] * history[k + 1];
        c += taps[k + 2] * history[k + 2];
        d += taps[k + 3] * history[k + 3];
    }
    return (a + b) + (c + d);
}

[[gnu::always_inline]]
inline OversampledFrame dotProduct(const OversampledFrame* taps, const OversampledFrame* history) {
    return dotProduct<0, kOversamplingTapsPerPhase>(taps, history);
}

// The largest magnitude among the 8 lanes, folded in halves.
[[gnu::always_inline]]
inline float largestMagnitude(OversampledFrame v) {
    typedef int LaneIndex __attribute__((vector_size(32)));
    OversampledFrame a = v < OversampledFrame{} ? -v : v;
    OversampledFrame b = __builtin_shuffle(a, LaneIndex{4, 5, 6, 7, 0, 1, 2, 3});
    a = a > b ? a : b;
    b = __builtin_shuffle(a, LaneIndex{2, 3, 0, 1, 6, 7, 4, 5});
    a = a > b ? a : b;
    b = __builtin_shuffle(a, LaneIndex{1, 0, 3, 2, 5, 4, 7, 6});
    a = a > b ? a : b;
    return a[0];
}

// Phase 3 of `last`, then phases 0..2 of `current`, in each channel.
[[gnu::always_inline]]
inline OversampledFrame previousHighValues(OversampledFrame last, OversampledFrame current) {
    typedef int LaneIndex __attribute__((vector_size(32)));
    return __builtin_shuffle(last, current, LaneIndex{3, 8, 9, 10, 7, 12, 13, 14});
}

// The central frames' share of the high-rate values of the frame `age` frames before the newest,
// and the whole values from it (the same sums in the same order, whenever they are computed).
[[gnu::always_inline]]
inline OversampledFrame centralHighValues(const ClipOversampler& c, const OversamplingTaps& taps, int age) {
    return dotProduct<kFirstCentralFrame, kCentralFrames>(taps.up, c.input + c.at + age);
}

[[gnu::always_inline]]
inline OversampledFrame highValuesFrom(OversampledFrame central, const ClipOversampler& c, const OversamplingTaps& taps,
                                       int age) {
    constexpr int kAfter = kFirstCentralFrame + kCentralFrames;
    const OversampledFrame* history = c.input + c.at + age;
    return central + (dotProduct<0, kFirstCentralFrame>(taps.up, history) +
                      dotProduct<kAfter, kOversamplingTapsPerPhase - kAfter>(taps.up, history));
}

// The four high-rate values of the frame `age` frames before the newest (0 to 3).
[[gnu::always_inline]]
inline OversampledFrame highValues(const ClipOversampler& c, const OversamplingTaps& taps, int age) {
    return highValuesFrom(centralHighValues(c, taps, age), c, taps, age);
}

// Takes frame x (16-bit scale) into the history, finds whether its high-rate values and the one
// before them stay under `level` (underLevel), and returns the central frames' share of them.
[[gnu::always_inline]]
inline OversampledFrame pushFrame(ClipOversampler& c, const OversamplingTaps& taps, Pair x, float level) {
    constexpr int R = kOversamplingHistory;
    c.at = (c.at == 0 ? R : c.at) - 1;
    const float l = static_cast<float>(x[0]), r = static_cast<float>(x[1]);
    const OversampledFrame frame = {l, l, l, l, r, r, r, r};
    c.input[c.at] = frame;
    c.input[c.at + R] = frame;

    // The largest input magnitude over at least the last K frames: the blocks before and the one
    // being filled, the newest frame in either.
    const float peak = std::fabs(l) > std::fabs(r) ? std::fabs(l) : std::fabs(r);
    c.fillingPeak = c.fillingPeak > peak ? c.fillingPeak : peak;
    if (++c.filledFrames == ClipOversampler::kPeakBlockFrames) {
        c.blockPeak[c.block] = c.fillingPeak;
        c.block = (c.block + 1) % ClipOversampler::kPeakBlocks;
        c.fillingPeak = 0.0f;
        c.filledFrames = 0;
        c.blocksPeak = 0.0f;
        for (float blockPeak : c.blockPeak) c.blocksPeak = c.blocksPeak > blockPeak ? c.blocksPeak : blockPeak;
    }
    static_assert(ClipOversampler::kPeakBlocks * ClipOversampler::kPeakBlockFrames >= kOversamplingTapsPerPhase);
    const float recentPeak = c.fillingPeak > c.blocksPeak ? c.fillingPeak : c.blocksPeak;

    const OversampledFrame central = centralHighValues(c, taps, 0);
    // A little under the level, for the rounding of the float sums.
    const bool under = largestMagnitude(central) + taps.tailGain * recentPeak < level * 0.9999f;
    c.underLevel = under && c.previousUnderLevel;
    c.previousUnderLevel = under;
    return central;
}

// Whether no high-rate value of the newest frame, nor the one before it, can reach the level.
inline bool inputQuiet(const ClipOversampler& c) { return c.underLevel; }

// The newest frame's four high-rate values from their central share, with in *before the value
// before each of them (phase 3 of the frame before, then phases 0..2).
[[gnu::always_inline]]
inline OversampledFrame interpolate(ClipOversampler& c, const OversamplingTaps& taps, OversampledFrame central,
                                    OversampledFrame* before) {
    const OversampledFrame u = highValuesFrom(central, c, taps, 0);
    const OversampledFrame last = c.highValuesCurrent ? c.lastHigh : highValues(c, taps, 1);
    *before = previousHighValues(last, u);
    c.lastHigh = u;
    return u;
}

// The mean overshoot over `level` between each high-rate value u and the one before it.
template <Overshoot kind>
[[gnu::always_inline]]
inline OversampledFrame meanOvershoot(OversampledFrame u, OversampledFrame before, float level) {
    const OversampledFrame zero = {}, one = zero + 1.0f, high = zero + level, low = -high;
    const OversampledFrame o = u - (u > high ? high : (u < low ? low : u));
    const OversampledFrame ob = before - (before > high ? high : (before < low ? low : before));
    const OversampledFrame rise = u - before;
    const OversampledFrame divisor = rise == zero ? one : rise;  // where it is 0, o and ob are too
    if constexpr (kind == Overshoot::Signed) {
        return o * ob > zero ? (o + ob) * 0.5f : (o * o - ob * ob) * 0.5f / divisor;
    } else {
        // |o| has the antiderivative o |o| / 2.
        const OversampledFrame oa = o < zero ? -o : o, oba = ob < zero ? -ob : ob;
        return o * ob > zero ? (oa + oba) * 0.5f : (o * oa - ob * oba) * 0.5f / divisor;
    }
}

// Takes four high-rate values per channel and returns the band-limited base-rate value that
// belongs kOversamplingDelay frames before the frame they came from; *delayed gets that frame's
// input, x.
// (`some` is false where v is known to be 0.)
[[gnu::always_inline]]
inline Pair decimate(ClipOversampler& c, const OversamplingTaps& taps, OversampledFrame v, Pair x, Pair* delayed,
                     bool some = true) {
    constexpr int R = kOversamplingHistory;
    c.overshoot[c.at] = v;
    c.overshoot[c.at + R] = v;
    *delayed = step(c.delayedInput, x, kOversamplingDelay);
    const int quiet = c.quietOvershootFrames;
    c.quietOvershootFrames = some && anyNonZero(v) ? 0 : (quiet > R ? quiet : quiet + 1);
    if (c.quietOvershootFrames >= kOversamplingTapsPerPhase) return Pair{};
    const OversampledFrame d = dotProduct(taps.down, c.overshoot + c.at);
    return Pair{double((d[0] + d[1]) + (d[2] + d[3])), double((d[4] + d[5]) + (d[6] + d[7]))};
}

// Takes frame x (16-bit scale) and returns the band-limited overshoot over `level` at four times
// the rate of the frame kOversamplingDelay frames earlier, and in *delayed that frame itself.
// *clipped is set when the frame reached the level at the high rate.
inline Pair stepOversampledOvershoot(ClipOversampler& c, const OversamplingTaps& taps, Pair x, float level,
                                     Pair* delayed, int32_t* clipped = nullptr) {
    const OversampledFrame central = pushFrame(c, taps, x, level);
    if (inputQuiet(c)) {
        c.highValuesCurrent = false;
        return decimate(c, taps, OversampledFrame{}, x, delayed, false);
    }
    OversampledFrame before;
    const OversampledFrame u = interpolate(c, taps, central, &before);
    c.highValuesCurrent = true;
    const OversampledFrame v = meanOvershoot<Overshoot::Signed>(u, before, level);
    if (clipped && anyNonZero(v)) *clipped = 1;
    return decimate(c, taps, v, x, delayed);
}

// The adaptive clipper's gain path at the high rate: the gain k = 1 - g follows the low-passed
// mean overshoot magnitude as at the base rate (the same 2 kHz one-pole low-pass, designed for the
// high rate), and multiplies the high-rate signal of two frames before, so that the reduction
// k x can be band-limited before it is subtracted: a gain that moves with the overshoot makes
// products above half the base rate as a clip does.
// The low-passed overshoot under which the adaptive path comes to rest: k x stays under
// 2 * 0.001 / 32767 * 65536, 0.004 of a 16-bit step.
inline constexpr float kAdaptiveRestLevel = 0.001f;

struct AdaptiveClipPath {
    // The low-pass y = b0 x + b1 x1 - a1 y1 over a frame's four phases at once (set by
    // prepareClipOversamplers): y = sum over q of fromPhase[q] x[q] + fromLastIn x1 + fromLastOut y1,
    // lane p of each giving its share in y[p], with x1 and y1 the values before phase 0.
    OversampledFrame fromPhase[4] = {}, fromLastIn = {}, fromLastOut = {};
    OversampledFrame lastIn = {}, lastOut = {};  // phase 3 of the frame before, in every lane of its channel
    OversampledFrame recent[2] = {};  // u of the last two frames, a ring
    OversampledFrame lastDelayed = {};
    int at = 0;
};

// The reduction k u of the current high-rate step: k from the mean overshoot magnitudes `over`,
// u from two frames earlier, averaged between neighbours so that it belongs to the same moments
// as the mean overshoot.
[[gnu::always_inline]]
inline OversampledFrame adaptiveReduction(AdaptiveClipPath& a, OversampledFrame over, OversampledFrame u) {
    typedef int LaneIndex __attribute__((vector_size(32)));
    const auto phase = [](OversampledFrame v, int q) {
        return __builtin_shuffle(v, LaneIndex{q, q, q, q, 4 + q, 4 + q, 4 + q, 4 + q});
    };
    const OversampledFrame low = a.fromPhase[0] * phase(over, 0) + a.fromPhase[1] * phase(over, 1) +
                                 (a.fromPhase[2] * phase(over, 2) + a.fromPhase[3] * phase(over, 3)) +
                                 (a.fromLastIn * a.lastIn + a.fromLastOut * a.lastOut);
    a.lastIn = phase(over, 3);
    a.lastOut = phase(low, 3);
    // Once the overshoot has ended and the low-pass has decayed to a trace (k x under a hundredth
    // of a 16-bit step), it comes to rest at 0, so the path can be skipped from there on.
    const OversampledFrame trace = OversampledFrame{} + kAdaptiveRestLevel;
    if (!anyNonZero(a.lastIn) && !anyLane(a.lastOut > trace)) a.lastOut = OversampledFrame{};
    const OversampledFrame zero = {}, most = zero + 0.5f;
    OversampledFrame k = low * (2.0f / 32767.0f);
    k = k < zero ? zero : (k > most ? most : k);
    const OversampledFrame late = a.recent[a.at];
    a.recent[a.at] = u;
    a.at ^= 1;
    const OversampledFrame mid = (late + previousHighValues(a.lastDelayed, late)) * 0.5f;
    a.lastDelayed = late;
    return k * mid;
}

// After a stretch in which the adaptive path was skipped, its history of high-rate values taken
// from the input ring: the frames one and two before (the ring of two) and three before.
inline void catchUpAdaptivePath(AdaptiveClipPath& a, const ClipOversampler& c, const OversamplingTaps& taps) {
    a.recent[a.at ^ 1] = highValues(c, taps, 1);
    a.recent[a.at] = highValues(c, taps, 2);
    a.lastDelayed = highValues(c, taps, 3);
}

// Whether the adaptive path's low-pass has come to rest at 0.
inline bool adaptivePathAtRest(const AdaptiveClipPath& a) { return !anyNonZero(a.lastIn) && !anyNonZero(a.lastOut); }

// The adaptive clipper's reduction k x at the high rate, band-limited, for frame x (16-bit
// scale): like stepOversampledOvershoot, it belongs kOversamplingDelay frames before x, and
// *delayed gets that frame. Where no high-rate value can reach the level and the gain's low-pass
// has come to rest, k is 0 and so is the reduction: the high-rate work is skipped.
inline Pair stepAdaptiveReduction(ClipOversampler& c, AdaptiveClipPath& a, const OversamplingTaps& taps, Pair x,
                                  float level, Pair* delayed) {
    const OversampledFrame central = pushFrame(c, taps, x, level);
    OversampledFrame reduction = {};
    if (inputQuiet(c) && adaptivePathAtRest(a)) {
        c.highValuesCurrent = false;
    } else {
        if (!c.highValuesCurrent) catchUpAdaptivePath(a, c, taps);
        OversampledFrame before;
        const OversampledFrame u = interpolate(c, taps, central, &before);
        c.highValuesCurrent = true;
        reduction = adaptiveReduction(a, meanOvershoot<Overshoot::Magnitude>(u, before, level), u);
    }
    return decimate(c, taps, reduction, x, delayed);
}

}  // namespace loudara

#pragma GCC diagnostic pop

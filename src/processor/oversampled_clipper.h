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

#include "filters.h"

// The 8-lane frames pass between inline functions only; GCC's note that a 32-byte vector is
// passed differently with and without AVX concerns calls across compiled units, which never
// happen here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {

inline constexpr int kOversamplingFactor = 4;
inline constexpr int kOversamplingTapsPerPhase = 32;  // K
inline constexpr int kOversamplingDelay = kOversamplingTapsPerPhase - 1;

typedef float OversampledFrame __attribute__((vector_size(32)));

struct OversamplingTaps {
    // up[k] lane p and 4 + p: 4 h[4k + p] (it multiplies x[n - k], both channels).
    OversampledFrame up[kOversamplingTapsPerPhase];
    // down[k] lane q and 4 + q: g[4k + 3 - q] (it multiplies phase q of frame n - k).
    OversampledFrame down[kOversamplingTapsPerPhase];
};

// Designed once: Kaiser windows beta 7.5 over 4K = 128 taps, cut at a quarter of the high rate's
// Nyquist frequency: by the Kaiser formulas about 75 dB down from 0.58 of the base rate (the
// transition runs from about 0.42), so neither the input's images nor the overshoot's products
// above the base band come back into it, while the overshoot of the band up to 0.42 of the rate
// is subtracted whole. 32 taps per phase keep the cost of both stages near half the chain's.
const OversamplingTaps& oversamplingTaps();

// One stage's state: the last K input frames and high-rate overshoot frames, each ring written
// twice (newest first from `at`) so the newest K always lie in one run; and the input delayed to
// meet the overshoot.
struct ClipOversampler {
    OversampledFrame input[2 * kOversamplingTapsPerPhase] = {};
    OversampledFrame overshoot[2 * kOversamplingTapsPerPhase] = {};
    OversampledFrame lastHigh = {};  // u of the frame before, for the average across frames
    int at = 0;
    PureDelay<Pair, kOversamplingDelay> delayedInput;
};

// How the overshoot over the level is read at the high rate: with its sign (a hard clip's
// overshoot, to subtract) or as a magnitude (what drives the adaptive clipper's gain).
enum class Overshoot { Signed, Magnitude };

// The three steps of a stage at the high rate.

// The sum of taps[k] * history[k] over the K taps, lane by lane. Four running sums side by side,
// so that each add need not wait for the one before: one sum would wait out an add's latency K
// times in a row.
inline OversampledFrame dotProduct(const OversampledFrame* taps, const OversampledFrame* history) {
    static_assert(kOversamplingTapsPerPhase % 4 == 0);
    OversampledFrame a = taps[0] * history[0], b = taps[1] * history[1];
    OversampledFrame c = taps[2] * history[2], d = taps[3] * history[3];
    for (int k = 4; k < kOversamplingTapsPerPhase; k += 4) {
        a += taps[k] * history[k];
        b += taps[k + 1] * history[k + 1];
        c += taps[k + 2] * history[k + 2];
        d += taps[k + 3] * history[k + 3];
    }
    return (a + b) + (c + d);
}

// Phase 3 of `last`, then phases 0..2 of `current`, in each channel.
inline OversampledFrame previousHighValues(OversampledFrame last, OversampledFrame current) {
    typedef int LaneIndex __attribute__((vector_size(32)));
    return __builtin_shuffle(last, current, LaneIndex{3, 8, 9, 10, 7, 12, 13, 14});
}

// Takes frame x (16-bit scale) into the history and returns its four high-rate values, with in
// *before the value before each of them (phase 3 of the frame before, then phases 0..2).
inline OversampledFrame interpolate(ClipOversampler& c, const OversamplingTaps& taps, Pair x,
                                    OversampledFrame* before) {
    constexpr int K = kOversamplingTapsPerPhase;
    c.at = (c.at == 0 ? K : c.at) - 1;
    const float l = static_cast<float>(x[0]), r = static_cast<float>(x[1]);
    const OversampledFrame frame = {l, l, l, l, r, r, r, r};
    c.input[c.at] = frame;
    c.input[c.at + K] = frame;

    const OversampledFrame u = dotProduct(taps.up, c.input + c.at);
    *before = previousHighValues(c.lastHigh, u);
    c.lastHigh = u;
    return u;
}

// The mean overshoot over `level` between each high-rate value u and the one before it.
template <Overshoot kind>
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
inline Pair decimate(ClipOversampler& c, const OversamplingTaps& taps, OversampledFrame v, Pair x, Pair* delayed) {
    constexpr int K = kOversamplingTapsPerPhase;
    c.overshoot[c.at] = v;
    c.overshoot[c.at + K] = v;
    *delayed = step(c.delayedInput, x, kOversamplingDelay);
    const OversampledFrame d = dotProduct(taps.down, c.overshoot + c.at);
    return Pair{double((d[0] + d[1]) + (d[2] + d[3])), double((d[4] + d[5]) + (d[6] + d[7]))};
}

// Takes frame x (16-bit scale) and returns the band-limited overshoot over `level` at four times
// the rate of the frame kOversamplingDelay frames earlier, and in *delayed that frame itself.
inline Pair stepOversampledOvershoot(ClipOversampler& c, const OversamplingTaps& taps, Pair x, float level,
                                     Pair* delayed) {
    OversampledFrame before;
    const OversampledFrame u = interpolate(c, taps, x, &before);
    return decimate(c, taps, meanOvershoot<Overshoot::Signed>(u, before, level), x, delayed);
}

// The adaptive clipper's gain path at the high rate: the gain k = 1 - g follows the low-passed
// mean overshoot magnitude as at the base rate (the same 2 kHz one-pole low-pass, designed for the
// high rate), and multiplies the high-rate signal of two frames before, so that the reduction
// k x can be band-limited before it is subtracted: a gain that moves with the overshoot makes
// products above half the base rate as a clip does.
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
    const OversampledFrame zero = {}, most = zero + 0.5f;
    OversampledFrame k = low / 32767.0f * 2.0f;
    k = k < zero ? zero : (k > most ? most : k);
    const OversampledFrame late = a.recent[a.at];
    a.recent[a.at] = u;
    a.at ^= 1;
    const OversampledFrame mid = (late + previousHighValues(a.lastDelayed, late)) * 0.5f;
    a.lastDelayed = late;
    return k * mid;
}

}  // namespace loudara

#pragma GCC diagnostic pop

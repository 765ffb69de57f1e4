#pragma once
// Level detectors that rectify at twice the rate, for the oversampled-clipping mode.
//
// A detector that rectifies a high tone at the base rate makes products near the rate and its
// multiples (a pair at 9 and 13 kHz: 2 x 22 kHz, just under 44.1 kHz), which sampling folds down
// to a few tens of Hz. The envelope after it follows them, and the gain it sets puts sidebands
// right beside the tones, which belong to no product of theirs. Rectifying at a sample and at the
// midpoint after it, and taking the mean of the two, puts a zero at the rate: those products are
// gone before they fold. The midpoint comes from an 8-tap half-band interpolator (a sinc under a
// Kaiser window, beta 4, unity gain at 0 Hz: flat within 0.15 dB to 0.3 of the rate, -0.3 dB at
// 0.35, -1.9 dB at 0.4) over the 8 values before the newest, so the detector reads the sample 4
// frames back and the midpoint before it.

#include "chain_helpers.h"

// The 4-lane double vectors pass between functions that are always inlined (see
// oversampled_clipper.h), so GCC's note on passing them differently with and without AVX concerns
// no call that is made.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {

inline constexpr int kDetectorTaps = 8;
// The interpolator's taps for the values 0.5, 1.5, 2.5 and 3.5 samples either side.
inline constexpr double kMidpointTaps[kDetectorTaps / 2] = {0.622601, -0.166008, 0.061046, -0.017639};
inline constexpr int kDetectorDelay = kDetectorTaps / 2;

// Four values side by side: a detector's two inputs (own, side chain), left and right.
typedef double DetectorValues __attribute__((vector_size(32)));

// The rings keep their doubles as integer bits: a store of doubles could be any of the chain's
// filter states or coefficients as far as the compiler knows, and the loop would read all of
// them from memory again after each one; a store of integers is known to be none of them.
typedef long long DetectorBits __attribute__((vector_size(32)));
typedef long long PairBits __attribute__((vector_size(16)));

// The last kDetectorTaps values a detector saw, newest first from `at`: the ring is written twice
// so that they always lie in one run.
struct DetectorHistory {
    DetectorBits values[2 * kDetectorTaps] = {};
    int at = 0;
};

// The same for one pair of values, left and right (the HF limiter's detector), in half the lanes.
struct PairDetectorHistory {
    PairBits values[2 * kDetectorTaps] = {};
    int at = 0;
};

[[gnu::always_inline]]
inline DetectorValues fromBits(DetectorBits b) { return reinterpret_cast<DetectorValues>(b); }
[[gnu::always_inline]]
inline Pair fromBits(PairBits b) { return reinterpret_cast<Pair>(b); }

// The midpoint between x[kDetectorDelay - 1] and x[kDetectorDelay] (x[0] the newest of the ring).
template <class Bits>
[[gnu::always_inline]]
inline auto detectorMidpoint(const Bits* x) {
    return kMidpointTaps[0] * (fromBits(x[3]) + fromBits(x[4])) + kMidpointTaps[1] * (fromBits(x[2]) + fromBits(x[5])) +
           (kMidpointTaps[2] * (fromBits(x[1]) + fromBits(x[6])) + kMidpointTaps[3] * (fromBits(x[0]) + fromBits(x[7])));
}

template <class History, class Bits>
[[gnu::always_inline]]
inline void pushDetectorValues(History& h, Bits in) {
    h.at = (h.at == 0 ? kDetectorTaps : h.at) - 1;
    h.values[h.at] = in;
    h.values[h.at + kDetectorTaps] = in;
}

// max(|x| - t, 0) of the largest magnitude among a's and b's lanes (left and right), at the
// sample kDetectorDelay back and at the midpoint before it, averaged; b may be 0.
//
// The detectors sit in feedback loops (the HF limiter's, the bands' reductions), where the
// newest value is known only once the frame before has been reduced. They read the values before
// it, so no loop waits on the interpolation: the newest value only enters the ring.
inline Pair twiceRateOverThreshold(DetectorHistory& h, Pair a, Pair b, double t) {
    const DetectorBits* x = h.values + h.at;
    const DetectorValues mid = detectorMidpoint(x);
    const DetectorValues at = fromBits(x[kDetectorDelay - 1]);
    pushDetectorValues(h, reinterpret_cast<DetectorBits>(DetectorValues{a[0], a[1], b[0], b[1]}));
    const DetectorValues zero = {};
    const DetectorValues midMagnitude = mid < zero ? -mid : mid, atMagnitude = at < zero ? -at : at;
    const Pair midLarger = pairMax(Pair{midMagnitude[0], midMagnitude[1]}, Pair{midMagnitude[2], midMagnitude[3]});
    const Pair atLarger = pairMax(Pair{atMagnitude[0], atMagnitude[1]}, Pair{atMagnitude[2], atMagnitude[3]});
    return (overThreshold(atLarger, t) + overThreshold(midLarger, t)) * 0.5;
}

// The same for one pair of values, lane by lane.
inline Pair twiceRateOverThreshold(PairDetectorHistory& h, Pair in, double t) {
    const PairBits* x = h.values + h.at;
    const Pair mid = detectorMidpoint(x);
    const Pair at = fromBits(x[kDetectorDelay - 1]);
    pushDetectorValues(h, reinterpret_cast<PairBits>(in));
    return (overThreshold(at, t) + overThreshold(mid, t)) * 0.5;
}

}  // namespace loudara

#pragma GCC diagnostic pop

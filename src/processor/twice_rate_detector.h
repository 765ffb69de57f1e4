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
// 0.35, -1.9 dB at 0.4), so the detector reads the sample 3 frames back and the midpoint after it.

#include "chain_helpers.h"

namespace loudara {

inline constexpr int kDetectorTaps = 8;
// The interpolator's taps for the values 0.5, 1.5, 2.5 and 3.5 samples either side.
inline constexpr double kMidpointTaps[kDetectorTaps / 2] = {0.622601, -0.166008, 0.061046, -0.017639};
inline constexpr int kDetectorDelay = kDetectorTaps / 2 - 1;

// Four values side by side: a detector's two inputs (own, side chain), left and right.
typedef double DetectorValues __attribute__((vector_size(32)));

// The last kDetectorTaps values a detector saw, newest first from `at`: the ring is written twice
// so that they always lie in one run.
struct DetectorHistory {
    DetectorValues values[2 * kDetectorTaps] = {};
    int at = 0;
};

// max(|x| - t, 0) of the largest magnitude among a's and b's lanes (left and right), at the
// sample kDetectorDelay back and at the midpoint after it, averaged; b may be 0.
inline Pair twiceRateOverThreshold(DetectorHistory& h, Pair a, Pair b, double t) {
    h.at = (h.at == 0 ? kDetectorTaps : h.at) - 1;
    const DetectorValues in = {a[0], a[1], b[0], b[1]};
    h.values[h.at] = in;
    h.values[h.at + kDetectorTaps] = in;
    const DetectorValues* x = h.values + h.at;
    const DetectorValues mid = kMidpointTaps[0] * (x[3] + x[4]) + kMidpointTaps[1] * (x[2] + x[5]) +
                               (kMidpointTaps[2] * (x[1] + x[6]) + kMidpointTaps[3] * (x[0] + x[7]));
    const DetectorValues at = x[kDetectorDelay];
    const DetectorValues zero = {};
    const DetectorValues midMagnitude = mid < zero ? -mid : mid, atMagnitude = at < zero ? -at : at;
    const Pair midLarger = pairMax(Pair{midMagnitude[0], midMagnitude[1]}, Pair{midMagnitude[2], midMagnitude[3]});
    const Pair atLarger = pairMax(Pair{atMagnitude[0], atMagnitude[1]}, Pair{atMagnitude[2], atMagnitude[3]});
    return (overThreshold(atLarger, t) + overThreshold(midLarger, t)) * 0.5;
}

}  // namespace loudara

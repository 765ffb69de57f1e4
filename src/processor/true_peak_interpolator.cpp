#include "true_peak_interpolator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "filter_design.h"

namespace loudara {

namespace {

// The prototype is centred on tap kLength / 2, a multiple of the factor, so phase 0 holds a single
// 1 (at tap kTruePeakDelay) and gives back the input exactly: the true peak never reads under
// the sample peak.
TruePeakTapBank designTruePeakTaps() {
    TruePeakTapBank bank;
    constexpr int kLength = kTruePeakFactor * kTruePeakTaps;
    constexpr double kBeta = 5.0;
    const double centre = kLength / 2;
    double prototype[kLength];
    for (int j = 0; j < kLength; ++j) {
        const double t = (j - centre) / kTruePeakFactor;
        const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
        prototype[j] = sinc * kaiserWindow((j - centre) / centre, kBeta);
    }
    for (int p = 0; p < kTruePeakFactor; ++p) {
        double sum = 0.0;
        for (int k = 0; k < kTruePeakTaps; ++k) sum += prototype[p + kTruePeakFactor * k];
        for (int k = 0; k < kTruePeakTaps; ++k) {
            bank.taps[k][p] = static_cast<float>(prototype[p + kTruePeakFactor * k] / sum);
        }
    }
    return bank;
}

}  // namespace

const TruePeakTapBank kTruePeakTapBank = designTruePeakTaps();

}  // namespace loudara

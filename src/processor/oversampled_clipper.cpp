#include "oversampled_clipper.h"

#include <cmath>
#include <numbers>

#include "filter_design.h"

namespace loudara {

namespace {

OversamplingTaps designTaps() {
    OversamplingTaps taps;
    constexpr int K = kOversamplingTapsPerPhase;
    constexpr int kLength = kOversamplingFactor * K;
    constexpr double kBeta = 5.0;
    // Interpolator: centred on tap 2K - 1, its window reaching 2K - 1 taps either side (the
    // last tap is 0). Decimator: centred between taps 2K - 1 and 2K.
    const auto design = [](double* h, double centre, double halfWidth) {
        double sum = 0.0;
        for (int j = 0; j < kLength; ++j) {
            const double offset = j - centre;
            const double t = offset / kOversamplingFactor;  // in base-rate samples
            const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
            h[j] = std::fabs(offset) > halfWidth ? 0.0 : sinc * kaiserWindow(offset / halfWidth, kBeta);
            sum += h[j];
        }
        for (int j = 0; j < kLength; ++j) h[j] /= sum;  // unity gain at 0 Hz
    };
    double h[kLength], g[kLength];
    design(h, 2 * K - 1, 2 * K - 1);
    design(g, (kLength - 1) / 2.0, (kLength - 1) / 2.0);
    double tailGain = 0.0;
    for (int p = 0; p < kOversamplingFactor; ++p) {
        // Each interpolation phase with a gain of exactly 1 at 0 Hz.
        double phaseSum = 0.0;
        for (int k = 0; k < K; ++k) phaseSum += h[4 * k + p];
        double tailSum = 0.0;
        for (int k = 0; k < K; ++k) {
            taps.up[k][p] = taps.up[k][4 + p] = static_cast<float>(h[4 * k + p] / phaseSum);
            taps.down[k][p] = taps.down[k][4 + p] = static_cast<float>(g[4 * k + 3 - p]);
            if (k < kFirstCentralFrame || k >= kFirstCentralFrame + kCentralFrames) {
                tailSum += std::fabs(double(taps.up[k][p]));
            }
        }
        tailGain = std::fmax(tailGain, tailSum);
    }
    // The float sums round each of K products and K additions by at most 2^-24 of the sum so far.
    taps.tailGain = static_cast<float>(tailGain * 1.001);
    return taps;
}

}  // namespace

const OversamplingTaps kOversamplingTaps = designTaps();

}  // namespace loudara

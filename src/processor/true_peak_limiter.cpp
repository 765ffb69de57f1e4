#include "true_peak_limiter.h"

#include <algorithm>
#include <iterator>

namespace loudara {

void prepareTruePeakLimiter(TruePeakLimiter& l, int sampleRate) {
    const int rate = std::clamp(sampleRate, 8000, 96000);
    l.lookAhead = std::clamp(static_cast<int>(std::lround(kLimiterLookAheadMs / 1000.0 * rate)), 2,
                             kLimiterCapacity - kTruePeakDelay - 2 * kLimiterFlatFrames);
    l.releaseCoef = 1.0 - std::exp(-1.0 / (kLimiterReleaseMs / 1000.0 * rate));
    clearTruePeakLimiter(l);
}

void clearTruePeakLimiter(TruePeakLimiter& l) {
    const int lookAhead = l.lookAhead;
    const double releaseCoef = l.releaseCoef;
    l = TruePeakLimiter{};
    l.lookAhead = lookAhead;
    l.releaseCoef = releaseCoef;
    std::fill(std::begin(l.required), std::end(l.required), 1.0);
    std::fill(std::begin(l.recent), std::end(l.recent), 1.0);
    l.recentSum = lookAhead;
    truePeakTaps();
}

}  // namespace loudara

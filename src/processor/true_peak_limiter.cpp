#include "true_peak_limiter.h"

#include <algorithm>
#include <iterator>

namespace loudara {

void prepareTruePeakLimiter(TruePeakLimiter& l, int sampleRate) {
    const int rate = std::clamp(sampleRate, 8000, 96000);
    l.lookAhead = std::clamp(static_cast<int>(std::lround(kLimiterLookAheadMs / 1000.0 * rate)), 2,
                             kLimiterCapacity - kTruePeakDelay - 2 * kLimiterFlatFrames);
    l.releaseCoef = 1.0 - std::exp(-1.0 / (kLimiterReleaseMs / 1000.0 * rate));
    l.mixStep = 1.0 / (kLimiterSwitchMs / 1000.0 * rate);
    clearTruePeakLimiter(l);
}

void clearTruePeakLimiter(TruePeakLimiter& l) {
    TruePeakLimiter kept;
    kept.lookAhead = l.lookAhead;
    kept.releaseCoef = l.releaseCoef;
    kept.mix = l.mix;
    kept.running = l.running;
    kept.warmUp = l.warmUp;
    kept.mixStep = l.mixStep;
    l = kept;
    std::fill(std::begin(l.required), std::end(l.required), 1.0);
    std::fill(std::begin(l.recent), std::end(l.recent), 1.0);
    l.recentSum = l.lookAhead;
}

}  // namespace loudara

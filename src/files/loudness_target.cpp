#include "files/loudness_target.h"

#include <algorithm>

namespace loudara {

bool ReachLoudnessTarget(ExportLoudness& l, double targetLufs, double truePeakLimitDbtp, JobHost& host,
                         LoudnessTargetPasses& passes, std::string& error) {
    constexpr double kMarginDb = 0.02;  // below the limit, for the rounding to 16 bits
    l.targetSet = true;
    l.targetLufs = targetLufs;
    l.truePeakLimitDbtp = truePeakLimitDbtp;
    l.beforeGain = l.output;
    if (!hasValue(l.beforeGain.integratedLufs)) {
        l.decidedBy = GainDecidedBy::Silence;
        l.gainDb = 0.0;
        l.ceilingHeld = !hasValue(l.beforeGain.truePeakDbtp) || l.beforeGain.truePeakDbtp <= l.truePeakLimitDbtp;
        return !l.mp3 || passes.encode(false, error);
    }
    const double wanted = l.targetLufs - l.beforeGain.integratedLufs;
    const double allowed = l.truePeakLimitDbtp - kMarginDb - l.beforeGain.truePeakDbtp;
    l.gainDb = std::min(wanted, allowed);
    l.decidedBy = allowed < wanted ? GainDecidedBy::Ceiling : GainDecidedBy::Target;
    host.setStatusText("Adjusting loudness..");
    for (l.rounds = 1;; ++l.rounds) {
        if (!passes.gainPass(l.gainDb, l.output, error)) return false;
        double peak = l.output.truePeakDbtp;
        if (l.mp3) {
            if (!passes.encode(true, error)) return false;
            if (!l.afterCodecMeasured) break;
            peak = l.afterCodec.truePeakDbtp;
        }
        l.ceilingHeld = !hasValue(peak) || peak <= l.truePeakLimitDbtp;
        if (l.ceilingHeld || l.rounds == kMaxCeilingRounds) break;
        l.gainDb -= peak - l.truePeakLimitDbtp + kMarginDb;
        l.decidedBy = GainDecidedBy::Ceiling;
        host.setStatusText("Adjusting loudness..");
    }
    host.setStatusText("");
    return true;
}

}  // namespace loudara

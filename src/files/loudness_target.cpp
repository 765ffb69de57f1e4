#include "files/loudness_target.h"

#include <algorithm>
#include <cmath>

namespace loudara {

namespace {

// Kept under the limit: the 4x meter reads up to 0.1 dB under the 16x true peak on broadband
// sound (and more only on tones near the Nyquist frequency), and the rounding to 16 bits adds a
// little; a ceiling measured at 4x needs this much room to hold at 16x.
constexpr double kMarginDb = 0.2;
// A decoded MP3 this close to the target is not corrected again (each round encodes once more).
constexpr double kSettledLu = 0.05;

}  // namespace

bool ReachLoudnessTarget(ExportLoudness& l, double targetLufs, double truePeakLimitDbtp, JobHost& host,
                         LoudnessTargetPasses& passes, std::string& error) {
    l.targetSet = true;
    l.targetLufs = targetLufs;
    l.truePeakLimitDbtp = truePeakLimitDbtp;
    l.beforeGain = l.output;
    l.targetReached = false;
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
        // What is delivered: the MP3 as decoded, else the gained WAV.
        const LoudnessFigures* heard = &l.output;
        if (l.mp3) {
            if (!passes.encode(true, error)) return false;
            if (!l.afterCodecMeasured) break;
            heard = &l.afterCodec;
        }
        const double peak = heard->truePeakDbtp;
        const double loudness = heard->integratedLufs;
        l.ceilingHeld = !hasValue(peak) || peak <= l.truePeakLimitDbtp;
        l.targetReached = hasValue(loudness) && std::abs(loudness - l.targetLufs) <= kTargetToleranceLu;
        if (l.rounds == kMaxCeilingRounds) break;
        double step;
        if (!l.ceilingHeld) {
            step = -(peak - l.truePeakLimitDbtp + kMarginDb);
            l.decidedBy = GainDecidedBy::Ceiling;
        } else {
            // The codec moves the loudness a little: correct by what the decoded MP3 misses, as
            // far as the ceiling lets. Once the ceiling has held the gain back it is not raised
            // again (it would only go over once more).
            if (!l.mp3 || l.decidedBy != GainDecidedBy::Target || !hasValue(loudness) ||
                std::abs(loudness - l.targetLufs) <= kSettledLu) {
                break;
            }
            const double room = hasValue(peak) ? l.truePeakLimitDbtp - kMarginDb - peak : 1e9;
            step = std::min(l.targetLufs - loudness, room);
            if (step < l.targetLufs - loudness) l.decidedBy = GainDecidedBy::Ceiling;
            if (std::abs(step) < 0.01) break;
        }
        l.gainDb += step;
        host.setStatusText("Adjusting loudness..");
    }
    if (l.targetReached) l.decidedBy = GainDecidedBy::Target;
    host.setStatusText("");
    return true;
}

}  // namespace loudara

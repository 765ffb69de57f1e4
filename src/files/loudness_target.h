#pragma once
// How an export brings its output to a loudness target: one constant gain, taken from the output's
// integrated loudness and lowered where the true-peak limit needs less; applied and measured again
// (after the codec, for MP3), and lowered by the excess while rounding or the codec lift the true
// peak over the limit, at most kMaxCeilingRounds times. The passes themselves are the job's.

#include <string>

#include "base/job_host.h"
#include "files/export_job.h"

namespace loudara {

class LoudnessTargetPasses {
public:
    virtual ~LoudnessTargetPasses() = default;
    // Writes the output again with every sample multiplied by the gain, and measures what it wrote
    // into `figures`. False, with the reason, when it cannot.
    virtual bool gainPass(double gainDb, LoudnessFigures& figures, std::string& error) = 0;
    // MP3 output only: encodes the output (`gained`: the last gain pass's, else the one the chain
    // wrote) and measures the MP3 as decoded into the loudness's afterCodec. False, with the reason,
    // when the encoding fails.
    virtual bool encode(bool gained, std::string& error) = 0;
};

// Fills the loudness's target fields from `l.output` (the chain's output) and runs the passes;
// afterwards l.rounds > 0 when a gain pass wrote the deliverable. False, with the reason, when a
// pass fails.
bool ReachLoudnessTarget(ExportLoudness& l, double targetLufs, double truePeakLimitDbtp, JobHost& host,
                         LoudnessTargetPasses& passes, std::string& error);

}  // namespace loudara

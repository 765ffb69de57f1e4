#pragma once
// Loudness and peak measurement of 16-bit sound (ITU-R BS.1770 / EBU R128).
//
// A meter is fed interleaved frames as they pass (a song being exported, blocks being played or
// put on the air) and can be read at any time. It never runs in a sound card callback: feeding it
// filters every sample and allocates as the song grows (unless bounded).
//
// Each frame's K-weighted energy is kept for the last 3 s; every 100 ms step sums its own frames,
// and the 400 ms blocks of the integrated loudness (one per step) and the 3 s blocks of the
// loudness range (one per second) are means over 4 and 30 steps.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "measure/gated_blocks.h"
#include "measure/k_weighting.h"

namespace loudara {

class TruePeakMeter;

// Everything one measurement reports. A value that has no meaning yet (silence, a song shorter
// than one gating block) is -infinity; `hasValue` tells it apart from a number.
struct LoudnessFigures {
    double integratedLufs = -std::numeric_limits<double>::infinity();
    double loudnessRangeLu = -std::numeric_limits<double>::infinity();
    double maxMomentaryLufs = -std::numeric_limits<double>::infinity();
    double maxShortTermLufs = -std::numeric_limits<double>::infinity();
    double samplePeakDbfs = -std::numeric_limits<double>::infinity();
    double truePeakDbtp = -std::numeric_limits<double>::infinity();
    std::uint64_t frames = 0;
};

inline bool hasValue(double figure) { return figure > -std::numeric_limits<double>::infinity(); }

class LoudnessMeter {
public:
    enum class History {
        Exact,    // every gating block kept: exact integrated loudness and range (files)
        Bounded,  // a histogram of 0.01 LU steps: constant memory for a stream that runs for days
    };
    // The true peak is read by our own 4x interpolator (TruePeakMeter). A meter that does not need
    // the true peak leaves it out and reports it as -inf.
    enum class Peaks { SampleAndTrue, SampleOnly };

    // rate in Hz, 1 or 2 channels. A mono song counts as heard on two speakers (dual mono), so a
    // mono file and its stereo copy measure the same. Throws std::runtime_error for another channel
    // count or a rate the K-weighting cannot be designed for (under 3400 Hz or above 2822400 Hz).
    LoudnessMeter(unsigned rate, unsigned channels, History history = History::Exact,
                  Peaks peaks = Peaks::SampleAndTrue);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // Interleaved 16-bit frames; any count, in any pieces.
    void addFrames(const std::int16_t* interleaved, std::size_t frames);
    // Interleaved float frames, full scale +-1.0 (a 16-bit value v as v / 32768 measures as v does).
    void addFrames(const float* interleaved, std::size_t frames);
    // Starts a new measurement at the same rate and channel count.
    void reset();

    unsigned rate() const { return rate_; }
    unsigned channels() const { return channels_; }
    std::uint64_t frames() const { return frames_; }

    // Loudness of the last 400 ms / 3 s up to the last frame fed (-inf before that much has been fed).
    double momentaryLufs() const;
    double shortTermLufs() const;
    double integratedLufs() const;
    double loudnessRangeLu() const;
    double maxMomentaryLufs() const { return maxMomentary_; }
    double maxShortTermLufs() const { return maxShortTerm_; }
    // Highest sample / true (4x oversampled) peak over all channels since the start.
    double samplePeakDbfs() const;
    double truePeakDbtp() const;
    // Highest true peak of the frames fed by the last addFrames call.
    double lastTruePeakDbtp() const;

    LoudnessFigures figures() const;

private:
    void feed(const std::int16_t* interleaved, std::size_t frames);
    void feed(const float* interleaved, std::size_t frames);
    template <class Sample>
    void addInSteps(const Sample* interleaved, std::size_t frames);
    void endStep();
    // Mean energy of the last `frames` frames fed (at most one ring's worth).
    double recentEnergy(std::size_t frames) const;

    static constexpr unsigned kRingSteps = 30;  // 3 s: the short-term window

    std::unique_ptr<TruePeakMeter> truePeak_;  // none for Peaks::SampleOnly
    double lastCallPeak_ = 0.0;                // linear, over the pieces of the last addFrames call
    double samplePeak_ = 0.0;                  // linear, the highest sample of any channel
    unsigned rate_;
    unsigned channels_;
    History history_;
    Peaks peaks_;
    std::uint64_t frames_ = 0;
    std::size_t stepFrames_;  // 100 ms, rounded to whole frames
    // Frames until the next 100 ms step, where the blocks end and the maxima are read.
    std::size_t framesToStep_ = 0;
    KWeighting weighting_;
    // The weighted energy of each of the last kRingSteps steps' frames, at frames_ % its size.
    std::vector<float> frameEnergy_;
    double maxMomentary_ = -std::numeric_limits<double>::infinity();
    double maxShortTerm_ = -std::numeric_limits<double>::infinity();
    // Summed energy of each of the last 30 steps (a ring): the 400 ms and 3 s blocks are sums of
    // 4 and 30 of them, so each step sums only its own 100 ms instead of the window again.
    double stepEnergy_[kRingSteps] = {};
    std::uint64_t stepsSeen_ = 0;
    GatedBlocks momentaryBlocks_;  // 400 ms every 100 ms: the integrated loudness
    GatedBlocks shortTermBlocks_;  // 3 s every second: the loudness range
};

// dB of a linear amplitude (1.0 = full scale); -inf for 0.
double amplitudeToDb(double amplitude);

}  // namespace loudara

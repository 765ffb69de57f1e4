#pragma once
// True peak (ITU-R BS.1770 annex 2): the highest absolute value of the signal interpolated four
// times, read on every channel. The taps of our own polyphase interpolator
// (processor/true_peak_interpolator.h), run eight steps at a time, so that reading the true peak
// costs a small part of what the chain costs.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "processor/true_peak_interpolator.h"

namespace loudara {

class TruePeakMeter {
public:
    explicit TruePeakMeter(unsigned channels);

    // Interleaved frames, full scale +-1.0 (a 16-bit value v counts as v / 32768).
    void addFrames(const float* interleaved, std::size_t frames);
    void addFrames(const std::int16_t* interleaved, std::size_t frames);
    void reset();

    unsigned channels() const { return channels_; }
    // Inputs each channel keeps from one piece for the next.
    static constexpr std::size_t kHistory = kTruePeakTaps - 1;
    // Highest interpolated (and sample) magnitude since the start or reset, over all channels
    // (linear, 1.0 = full scale), and that of the frames of the last addFrames call.
    double peak() const;
    double lastPeak() const { return lastPeak_; }
    // The same, per channel, since the start or reset.
    double channelPeak(unsigned channel) const { return channel < channels_ ? peaks_[channel] : 0.0; }

private:
    template <class Sample>
    void addPieces(const Sample* interleaved, std::size_t frames);

    static constexpr std::size_t kPieceFrames = 1024;
    static constexpr std::size_t kLine = kHistory + kPieceFrames;

    unsigned channels_;
    std::vector<float> lines_;  // per channel: kHistory inputs, then a piece's inputs
    std::vector<double> peaks_;
    double lastPeak_ = 0.0;
};

}  // namespace loudara

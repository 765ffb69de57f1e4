#pragma once
// True peak (ITU-R BS.1770 annex 2): the highest absolute value of the signal interpolated four
// times, read on every channel. Our own polyphase interpolator (processor/true_peak_interpolator.h),
// vectorised across its four phases, so that reading the true peak costs a small part of what the
// chain costs.

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
    // Highest interpolated (and sample) magnitude since the start or reset, over all channels
    // (linear, 1.0 = full scale), and that of the frames of the last addFrames call.
    double peak() const;
    double lastPeak() const { return lastPeak_; }
    // The same, per channel, since the start or reset.
    double channelPeak(unsigned channel) const { return channel < channels_ ? peaks_[channel] : 0.0; }

private:
    void feedChannel(unsigned channel, const float* interleaved, std::size_t frames, float& blockPeak);

    unsigned channels_;
    std::vector<TruePeakHistory> history_;
    std::vector<double> peaks_;
    double lastPeak_ = 0.0;
};

}  // namespace loudara

#include "measure/true_peak_meter.h"

#include <algorithm>

namespace loudara {

TruePeakMeter::TruePeakMeter(unsigned channels) : channels_(channels), history_(channels), peaks_(channels, 0.0) {
    truePeakTaps();
}

void TruePeakMeter::reset() {
    std::fill(history_.begin(), history_.end(), TruePeakHistory{});
    std::fill(peaks_.begin(), peaks_.end(), 0.0);
    lastPeak_ = 0.0;
}

void TruePeakMeter::feedChannel(unsigned channel, const float* interleaved, std::size_t frames, float& blockPeak) {
    const TruePeakPhases* taps = truePeakTaps();
    TruePeakHistory& history = history_[channel];
    TruePeakPhases highest = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < frames; ++i) {
        const TruePeakPhases m = magnitudes(stepInterpolator(history, taps, interleaved[i * channels_ + channel]));
        highest = m > highest ? m : highest;
    }
    const float peak = highestLane(highest);
    blockPeak = std::max(blockPeak, peak);
    peaks_[channel] = std::max(peaks_[channel], static_cast<double>(peak));
}

void TruePeakMeter::addFrames(const float* interleaved, std::size_t frames) {
    float blockPeak = 0.0f;
    for (unsigned c = 0; c < channels_; ++c) feedChannel(c, interleaved, frames, blockPeak);
    lastPeak_ = blockPeak;
}

void TruePeakMeter::addFrames(const std::int16_t* interleaved, std::size_t frames) {
    constexpr std::size_t kPiece = 1024;
    float converted[kPiece * 2];
    const std::size_t perPiece = kPiece * 2 / std::max(1u, channels_);
    double blockPeak = 0.0;
    while (frames > 0) {
        const std::size_t n = std::min(frames, perPiece);
        for (std::size_t i = 0; i < n * channels_; ++i) converted[i] = interleaved[i] * (1.0f / 32768.0f);
        addFrames(converted, n);
        blockPeak = std::max(blockPeak, lastPeak_);
        interleaved += n * channels_;
        frames -= n;
    }
    lastPeak_ = blockPeak;
}

double TruePeakMeter::peak() const {
    double highest = 0.0;
    for (double p : peaks_) highest = std::max(highest, p);
    return highest;
}

}  // namespace loudara

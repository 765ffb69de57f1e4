#include "measure/true_peak_meter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace loudara {

namespace {

// Four floats, one per phase: GCC and Clang turn arithmetic on them into SSE instructions.
typedef float Phases __attribute__((vector_size(16)));
static_assert(TruePeakMeter::kFactor == 4, "one vector lane per phase");

constexpr int kTaps = TruePeakMeter::kTapsPerPhase;
constexpr int kLength = TruePeakMeter::kFactor * kTaps;

double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// The prototype low-pass at four times the rate: a sinc cut at the input's Nyquist frequency
// under a Kaiser window (beta 5: about 55 dB of image rejection, a pass band flat within
// 0.02 dB up to 0.44 of the input rate). It is centred on tap kLength / 2, a multiple of the
// factor, so phase 0 gives back the input samples exactly and the true peak is never below the
// sample peak. Each phase is scaled to a gain of exactly 1 at 0 Hz.
struct Bank {
    alignas(16) Phases taps[kTaps];
    float plain[TruePeakMeter::kFactor][kTaps];
    Bank() {
        constexpr double kBeta = 5.0;
        const double centre = kLength / 2;
        double prototype[kLength];
        for (int j = 0; j < kLength; ++j) {
            const double t = (j - centre) / TruePeakMeter::kFactor;
            const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
            const double r = (j - centre) / centre;  // -1 .. 1 over the window
            const double window = besselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(kBeta);
            prototype[j] = sinc * window;
        }
        for (int p = 0; p < TruePeakMeter::kFactor; ++p) {
            double sum = 0.0;
            for (int k = 0; k < kTaps; ++k) sum += prototype[p + TruePeakMeter::kFactor * k];
            for (int k = 0; k < kTaps; ++k) {
                plain[p][k] = static_cast<float>(prototype[p + TruePeakMeter::kFactor * k] / sum);
            }
        }
        for (int k = 0; k < kTaps; ++k) taps[k] = Phases{plain[0][k], plain[1][k], plain[2][k], plain[3][k]};
    }
};

const Bank& bank() {
    static const Bank instance;
    return instance;
}

inline Phases magnitude(Phases v) {
    const Phases negative = -v;
    return v > negative ? v : negative;  // lane-wise select
}

}  // namespace

float TruePeakMeter::coefficient(int phase, int tap) { return bank().plain[phase][tap]; }

TruePeakMeter::TruePeakMeter(unsigned channels)
    : channels_(channels), history_(2 * kTaps * channels, 0.0f), position_(channels, 0), peaks_(channels, 0.0) {
    bank();
}

void TruePeakMeter::reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    std::fill(position_.begin(), position_.end(), 0u);
    std::fill(peaks_.begin(), peaks_.end(), 0.0);
    lastPeak_ = 0.0;
}

// y_p[n] = sum_k h_p[k] * x[n - k] for the four phases at once: one vector multiply-add per tap.
void TruePeakMeter::feedChannel(unsigned channel, const float* interleaved, std::size_t frames, float& blockPeak) {
    const Phases* taps = bank().taps;
    float* ring = history_.data() + 2 * kTaps * channel;
    unsigned at = position_[channel];
    Phases highest = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < frames; ++i) {
        const float x = interleaved[i * channels_ + channel];
        // The ring runs backwards: after this step ring[at .. at + kTaps) holds the newest first.
        at = (at == 0 ? kTaps : at) - 1;
        ring[at] = x;
        ring[at + kTaps] = x;
        const float* newestFirst = ring + at;  // newestFirst[k] = x[n - k]
        Phases sum = taps[0] * newestFirst[0];
        for (int k = 1; k < kTaps; ++k) sum += taps[k] * newestFirst[k];
        const Phases m = magnitude(sum);
        highest = m > highest ? m : highest;
    }
    position_[channel] = at;
    const float peak = std::max(std::max(highest[0], highest[1]), std::max(highest[2], highest[3]));
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

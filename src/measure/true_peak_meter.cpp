#include "measure/true_peak_meter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace loudara {
namespace {

typedef float Eight __attribute__((vector_size(32)));

// The interpolator's taps by phase, each spread over eight lanes: tap k of phase p multiplies
// x[n - k].
struct PhaseTaps {
    Eight h[kTruePeakFactor][kTruePeakTaps];
};

const PhaseTaps& phaseTaps() {
    static const PhaseTaps taps = [] {
        PhaseTaps t{};
        const TruePeakPhases* lanes = truePeakTaps();
        for (int k = 0; k < kTruePeakTaps; ++k) {
            for (int p = 0; p < kTruePeakFactor; ++p) {
                for (int lane = 0; lane < 8; ++lane) t.h[p][k][lane] = lanes[k][p];
            }
        }
        return t;
    }();
    return taps;
}

#if defined(__clang__)
#define METER_ENTRY  // the fuzzing build: the default path only
#else
#define METER_ENTRY __attribute__((target_clones("arch=x86-64-v3", "default")))
#endif

// The highest magnitude of the four phases of steps 0 .. frames-1, where line[kHistory + n] is the
// input of step n (the kHistory inputs before it come first). Vectorised across eight steps at a
// time, so one load of eight inputs serves a tap of all four phases.
METER_ENTRY float highestInterpolated(const float* line, std::size_t frames) {
    const PhaseTaps& t = phaseTaps();
    const float* newest = line + TruePeakMeter::kHistory;
    Eight highest = {};
    std::size_t n = 0;
    for (; n + 8 <= frames; n += 8) {
        Eight a = {}, b = {}, c = {}, d = {};
        for (int k = 0; k < kTruePeakTaps; ++k) {
            Eight x;
            std::memcpy(&x, newest + n - k, sizeof x);
            a += t.h[0][k] * x;
            b += t.h[1][k] * x;
            c += t.h[2][k] * x;
            d += t.h[3][k] * x;
        }
        for (Eight* phase : {&a, &b, &c, &d}) {
            const Eight negative = -*phase;
            const Eight m = *phase > negative ? *phase : negative;
            highest = m > highest ? m : highest;
        }
    }
    float peak = 0.0f;
    for (int lane = 0; lane < 8; ++lane) peak = std::max(peak, highest[lane]);
    for (; n < frames; ++n) {
        for (int p = 0; p < kTruePeakFactor; ++p) {
            float sum = 0.0f;
            for (int k = 0; k < kTruePeakTaps; ++k) sum += t.h[p][k][0] * newest[n - k];
            peak = std::max(peak, std::fabs(sum));
        }
    }
    return peak;
}

}  // namespace

TruePeakMeter::TruePeakMeter(unsigned channels)
    : channels_(channels), lines_(channels * kLine, 0.0f), peaks_(channels, 0.0) {
    phaseTaps();
}

void TruePeakMeter::reset() {
    std::fill(lines_.begin(), lines_.end(), 0.0f);
    std::fill(peaks_.begin(), peaks_.end(), 0.0);
    lastPeak_ = 0.0;
}

void TruePeakMeter::addFrames(const float* interleaved, std::size_t frames) {
    double callPeak = 0.0;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kPieceFrames);
        for (unsigned c = 0; c < channels_; ++c) {
            float* line = lines_.data() + c * kLine;
            for (std::size_t i = 0; i < n; ++i) line[kHistory + i] = interleaved[i * channels_ + c];
            const double peak = highestInterpolated(line, n);
            std::memmove(line, line + n, kHistory * sizeof(float));  // the newest inputs, for the next piece
            peaks_[c] = std::max(peaks_[c], peak);
            callPeak = std::max(callPeak, peak);
        }
        interleaved += n * channels_;
        frames -= n;
    }
    lastPeak_ = callPeak;
}

void TruePeakMeter::addFrames(const std::int16_t* interleaved, std::size_t frames) {
    float converted[kPieceFrames * 2];
    const std::size_t perPiece = kPieceFrames * 2 / std::max(1u, channels_);
    double callPeak = 0.0;
    while (frames > 0) {
        const std::size_t n = std::min(frames, perPiece);
        for (std::size_t i = 0; i < n * channels_; ++i) converted[i] = interleaved[i] * (1.0f / 32768.0f);
        addFrames(converted, n);
        callPeak = std::max(callPeak, lastPeak_);
        interleaved += n * channels_;
        frames -= n;
    }
    lastPeak_ = callPeak;
}

double TruePeakMeter::peak() const {
    double highest = 0.0;
    for (double p : peaks_) highest = std::max(highest, p);
    return highest;
}

}  // namespace loudara

#include "measure/true_peak_meter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace loudara {
namespace {

typedef float Eight __attribute__((vector_size(32)));

// The interpolator's taps by phase, each spread over eight lanes: tap k of phase p multiplies
// x[n - k]. The prototype is symmetric about its centre, tap kTruePeakDelay of phase 0, so:
// phase 0 is the input itself (x[n - kTruePeakDelay]); phase 2 is symmetric (its tap k equals its
// tap 31 - k); phase 3 is phase 1 mirrored (its tap k is phase 1's tap 31 - k). With the sums
// s_k = x[n-k] + x[n-31+k] and differences d_k = x[n-k] - x[n-31+k] of the mirrored pairs,
//   phase 2 = sum mid_k s_k,  phase 1 = E + O,  phase 3 = E - O,
//   E = sum even_k s_k,  O = sum odd_k d_k,  even_k, odd_k = (h1[k] +- h1[31-k]) / 2,
// for k = 0 .. 15: 48 multiply-adds a step instead of the 128 of the four phases in full.
struct PhaseTaps {
    static constexpr int kPairs = kTruePeakTaps / 2;
    Eight even[kPairs], odd[kPairs], mid[kPairs];
    float full[kTruePeakFactor][kTruePeakTaps];  // for the steps that do not fill eight lanes
};

const PhaseTaps& phaseTaps() {
    static const PhaseTaps taps = [] {
        PhaseTaps t{};
        const TruePeakPhases* lanes = truePeakTaps();
        for (int k = 0; k < kTruePeakTaps; ++k) {
            for (int p = 0; p < kTruePeakFactor; ++p) t.full[p][k] = lanes[k][p];
        }
        for (int k = 0; k < PhaseTaps::kPairs; ++k) {
            const int mirror = kTruePeakTaps - 1 - k;
            for (int lane = 0; lane < 8; ++lane) {
                t.even[k][lane] = (lanes[k][1] + lanes[mirror][1]) / 2;
                t.odd[k][lane] = (lanes[k][1] - lanes[mirror][1]) / 2;
                t.mid[k][lane] = (lanes[k][2] + lanes[mirror][2]) / 2;
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

// Raises `highest` lane by lane to the magnitude of v (by reference: the default build has no
// 32-byte registers to pass it in).
inline void raise(Eight& highest, const Eight& v) {
    const Eight negative = -v;
    const Eight magnitude = v > negative ? v : negative;
    highest = magnitude > highest ? magnitude : highest;
}

// The highest magnitude of the four phases of steps 0 .. frames-1, where line[kHistory + n] is the
// input of step n (the kHistory inputs before it come first). Vectorised across eight steps at a
// time, so one load of eight inputs serves a tap of every phase; two sets of sums halve the wait on
// each running sum.
METER_ENTRY float highestInterpolated(const float* line, std::size_t frames) {
    const PhaseTaps& t = phaseTaps();
    const float* newest = line + TruePeakMeter::kHistory;
    constexpr int kLast = kTruePeakTaps - 1;
    Eight highest = {};
    std::size_t n = 0;
    for (; n + 8 <= frames; n += 8) {
        const float* x = newest + n;
        Eight even0 = {}, odd0 = {}, mid0 = {}, even1 = {}, odd1 = {}, mid1 = {};
        for (int k = 0; k < PhaseTaps::kPairs; k += 2) {
            Eight a0, b0, a1, b1;
            std::memcpy(&a0, x - k, sizeof a0);
            std::memcpy(&b0, x - (kLast - k), sizeof b0);
            std::memcpy(&a1, x - (k + 1), sizeof a1);
            std::memcpy(&b1, x - (kLast - k - 1), sizeof b1);
            const Eight s0 = a0 + b0, d0 = a0 - b0, s1 = a1 + b1, d1 = a1 - b1;
            even0 += t.even[k] * s0;
            odd0 += t.odd[k] * d0;
            mid0 += t.mid[k] * s0;
            even1 += t.even[k + 1] * s1;
            odd1 += t.odd[k + 1] * d1;
            mid1 += t.mid[k + 1] * s1;
        }
        Eight input;
        std::memcpy(&input, x - kTruePeakDelay, sizeof input);
        const Eight even = even0 + even1, odd = odd0 + odd1;
        raise(highest, input);
        raise(highest, even + odd);
        raise(highest, even - odd);
        raise(highest, mid0 + mid1);
    }
    float peak = 0.0f;
    for (int lane = 0; lane < 8; ++lane) peak = std::max(peak, highest[lane]);
    for (; n < frames; ++n) {
        for (int p = 0; p < kTruePeakFactor; ++p) {
            float sum = 0.0f;
            for (int k = 0; k < kTruePeakTaps; ++k) sum += t.full[p][k] * newest[n - k];
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

namespace {

inline float fullScale(float v) { return v; }
inline float fullScale(std::int16_t v) { return v * (1.0f / 32768.0f); }

}  // namespace

// Each piece's inputs go straight into the channels' lines, converted on the way.
template <class Sample>
void TruePeakMeter::addPieces(const Sample* interleaved, std::size_t frames) {
    double callPeak = 0.0;
    while (frames > 0) {
        const std::size_t n = std::min(frames, kPieceFrames);
        for (unsigned c = 0; c < channels_; ++c) {
            float* line = lines_.data() + c * kLine;
            for (std::size_t i = 0; i < n; ++i) line[kHistory + i] = fullScale(interleaved[i * channels_ + c]);
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

void TruePeakMeter::addFrames(const float* interleaved, std::size_t frames) { addPieces(interleaved, frames); }
void TruePeakMeter::addFrames(const std::int16_t* interleaved, std::size_t frames) { addPieces(interleaved, frames); }

double TruePeakMeter::peak() const {
    double highest = 0.0;
    for (double p : peaks_) highest = std::max(highest, p);
    return highest;
}

}  // namespace loudara

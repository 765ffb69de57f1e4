#pragma once
// Four-times interpolation for reading the true peak (ITU-R BS.1770 annex 2): a polyphase FIR
// whose four phases give the values a quarter, a half and three quarters of a sample after each
// input sample (phase 0 gives the input sample itself back). Shared by the true-peak meter and
// the true-peak limiter; one vector lane per phase, so one multiply-add per tap computes all four.

namespace loudara {

inline constexpr int kTruePeakFactor = 4;
inline constexpr int kTruePeakTaps = 32;  // per phase, a multiple of 4
static_assert(kTruePeakTaps % 4 == 0);
// Phase p of the step that takes input x[n] gives the value at n - kTruePeakDelay + p / 4.
inline constexpr int kTruePeakDelay = kTruePeakTaps / 2;

typedef float TruePeakPhases __attribute__((vector_size(16)));

// The taps, kTruePeakTaps of them: lane p of tap k multiplies x[n - k] for phase p. Designed once
// (a Kaiser-windowed sinc, beta 5, cut at the input's Nyquist frequency: about 55 dB of image
// rejection and a pass band flat within 0.02 dB to 0.44 of the input rate; each phase scaled to a
// gain of exactly 1 at 0 Hz), as the program loads, so that the limiter, which reads them for
// every frame, need not call out (see oversampled_clipper.h).
struct TruePeakTapBank {
    alignas(16) TruePeakPhases taps[kTruePeakTaps];
};
extern const TruePeakTapBank kTruePeakTapBank;
inline const TruePeakPhases* truePeakTaps() { return kTruePeakTapBank.taps; }

// One channel's input history: the last kTruePeakTaps inputs twice over, newest first from `at`,
// so the newest kTruePeakTaps always lie in one run however the ring turns.
struct TruePeakHistory {
    float ring[2 * kTruePeakTaps] = {};
    int at = 0;
};

// Takes x[n] and returns the four interpolated values of step n.
inline TruePeakPhases stepInterpolator(TruePeakHistory& h, const TruePeakPhases* taps, float x) {
    h.at = (h.at == 0 ? kTruePeakTaps : h.at) - 1;
    h.ring[h.at] = x;
    h.ring[h.at + kTruePeakTaps] = x;
    const float* newestFirst = h.ring + h.at;
    // Four sums side by side: one running sum would wait out each multiply-add before the next.
    TruePeakPhases a = taps[0] * newestFirst[0], b = taps[1] * newestFirst[1];
    TruePeakPhases c = taps[2] * newestFirst[2], d = taps[3] * newestFirst[3];
    for (int k = 4; k < kTruePeakTaps; k += 4) {
        a += taps[k] * newestFirst[k];
        b += taps[k + 1] * newestFirst[k + 1];
        c += taps[k + 2] * newestFirst[k + 2];
        d += taps[k + 3] * newestFirst[k + 3];
    }
    return (a + b) + (c + d);
}

inline TruePeakPhases magnitudes(TruePeakPhases v) {
    const TruePeakPhases negative = -v;
    return v > negative ? v : negative;
}

inline float highestLane(TruePeakPhases v) {
    const float a = v[0] > v[1] ? v[0] : v[1];
    const float b = v[2] > v[3] ? v[2] : v[3];
    return a > b ? a : b;
}

}  // namespace loudara

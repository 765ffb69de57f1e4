#pragma once
// Measuring helpers for the tests: gains and phases of filters from steady sines, test signals.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "processor/filters.h"

namespace loudara::test {

inline constexpr double kPi = std::numbers::pi;

inline double toDb(double gain) { return 20.0 * std::log10(gain); }

// Complex response of a filter to a steady sine at frequencyHz: runs `stepFn` (double -> double)
// on a sine long enough to settle, then correlates the output with sine and cosine over a whole
// number of periods' worth of samples. Frequency 0 measures the DC gain.
template <class StepFn>
std::complex<double> measureResponse(StepFn stepFn, double frequencyHz, double sampleRate, int settleSamples = 0) {
    const double w = 2.0 * kPi * frequencyHz / sampleRate;
    if (settleSamples == 0) settleSamples = static_cast<int>(sampleRate * 4);  // 4 s
    const int measureSamples = static_cast<int>(sampleRate);
    std::complex<double> acc = 0.0;
    for (int n = 0; n < settleSamples + measureSamples; ++n) {
        const double x = frequencyHz == 0.0 ? 1.0 : std::cos(w * n);
        const double y = stepFn(x);
        if (n >= settleSamples) {
            acc += frequencyHz == 0.0 ? std::complex<double>(y, 0.0) : y * std::polar(1.0, -w * n);
        }
    }
    return frequencyHz == 0.0 ? acc / double(measureSamples) : 2.0 * acc / double(measureSamples);
}

// Complex response to a steady sine from a least-squares fit of y = a*cos(wn) + b*sin(wn) over
// the window that follows settleSeconds. The fit is exact for a settled linear filter whatever
// the window length, so the frequency need not fit the window a whole number of times (no
// leakage, unlike a plain correlation). Frequency 0 gives the DC gain. Stay below Nyquist.
template <class StepFn>
std::complex<double> measureSteady(StepFn stepFn, double frequencyHz, double sampleRate, double settleSeconds = 0.5) {
    const double w = 2.0 * kPi * frequencyHz / sampleRate;
    const long settle = std::lround(settleSeconds * sampleRate);
    const long window = frequencyHz == 0.0 ? 1000
                                           : std::max(std::lround(0.05 * sampleRate), std::lround(2.0 * sampleRate / frequencyHz));
    const std::complex<double> turn = std::polar(1.0, w);
    std::complex<double> phasor = 1.0;
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (long n = 0; n < settle + window; ++n) {
        if (n % 4096 == 0) phasor = std::polar(1.0, w * static_cast<double>(n));  // no drift
        const double c = phasor.real(), s = phasor.imag();
        const double y = stepFn(c);
        if (n >= settle) {
            cc += c * c;
            ss += s * s;
            cs += c * s;
            yc += y * c;
            ys += y * s;
        }
        phasor *= turn;
    }
    if (frequencyHz == 0.0) return yc / cc;
    const double det = cc * ss - cs * cs;
    const double a = (yc * ss - ys * cs) / det;
    const double b = (ys * cc - yc * cs) / det;
    return {a, -b};  // a*cos + b*sin = |H| cos(wn + phase)
}

template <class StepFn>
double gainDbAt(StepFn stepFn, double frequencyHz, double sampleRate, double settleSeconds = 0.5) {
    return toDb(std::abs(measureSteady(stepFn, frequencyHz, sampleRate, settleSeconds)));
}

// Where fn(f) crosses target between loHz and hiHz, by bisection on a log-frequency scale.
// NaN when fn(loHz) and fn(hiHz) lie on the same side of target.
template <class Fn>
double findCrossing(Fn fn, double target, double loHz, double hiHz, int iterations = 24) {
    const bool loAbove = fn(loHz) > target;
    if ((fn(hiHz) > target) == loAbove) return std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < iterations; ++i) {
        const double mid = std::sqrt(loHz * hiHz);
        ((fn(mid) > target) == loAbove ? loHz : hiHz) = mid;
    }
    return std::sqrt(loHz * hiHz);
}

// The first `length` outputs of stepFn for a unit impulse.
template <class StepFn>
std::vector<double> impulseResponse(StepFn stepFn, int length) {
    std::vector<double> h(length);
    for (int n = 0; n < length; ++n) h[n] = stepFn(n == 0 ? 1.0 : 0.0);
    return h;
}

// Magnitude of the bilinear-warped Butterworth response of the given order, in dB.
inline double butterworthDb(bool highpass, int order, double cornerHz, double frequencyHz, double sampleRate) {
    const double ratio = std::tan(kPi * frequencyHz / sampleRate) / std::tan(kPi * cornerHz / sampleRate);
    return -10.0 * std::log10(1.0 + std::pow(highpass ? 1.0 / ratio : ratio, 2.0 * order));
}

// Exact frequency response of a first-order recursive filter read off its impulse response:
// h[0], then a tail h[1]*rho^(n-1). For corners far below 1 Hz, where a settled sine takes
// minutes of samples. tailError is the worst departure of the measured tail from that form,
// relative to h[1]; it must be tiny for the response to mean anything.
struct FirstOrderResponse {
    double h0 = 0, h1 = 0, rho = 0, tailError = 0;
    std::complex<double> at(double frequencyHz, double sampleRate) const {
        const std::complex<double> zInv = std::polar(1.0, -2.0 * kPi * frequencyHz / sampleRate);
        return h0 + h1 * zInv / (1.0 - rho * zInv);
    }
    double gainDb(double frequencyHz, double sampleRate) const { return toDb(std::abs(at(frequencyHz, sampleRate))); }
};

template <class StepFn>
FirstOrderResponse firstOrderResponse(StepFn stepFn, int length = 4096) {
    const std::vector<double> h = impulseResponse(stepFn, length);
    FirstOrderResponse r{h[0], h[1], h[2] / h[1], 0.0};
    for (int n = 2; n + 1 < length; ++n) {
        r.tailError = std::max(r.tailError, std::abs(h[n + 1] - r.rho * h[n]) / std::abs(h[1]));
    }
    return r;
}

// A double -> double step function on its own copy of `filter`. A stereo filter gets x on lane 0
// and -x on lane 1; both lanes work alike, so lane 1 must give exactly the negated output, and the
// largest |lane 0 + lane 1| seen is kept in *laneMismatch when it is given.
template <class F>
concept StereoFilter = requires(F& f) { step(f, Pair{}); };

template <class F>
auto laneOf(const F& filter, double* laneMismatch = nullptr) {
    return [f = filter, laneMismatch](double x) mutable -> double {
        if constexpr (StereoFilter<F>) {
            const Pair y = step(f, Pair{x, -x});
            if (laneMismatch) *laneMismatch = std::max(*laneMismatch, std::abs(y[0] + y[1]));
            return y[0];
        } else {
            return step(f, x);
        }
    };
}

// Two tones at -6 dBFS each, the same in both channels: 1 kHz and one high in the band (11 kHz
// at 32 kHz, 15 kHz otherwise), where a clipper at the base rate leaves its largest overs between
// the samples.
inline std::vector<int16_t> twoLoudTones(int rate, int frames) {
    std::vector<int16_t> out(2 * static_cast<size_t>(frames));
    const double high = rate == 32000 ? 11000.0 : 15000.0;
    for (int n = 0; n < frames; ++n) {
        const double v = 0.5 * std::sin(2.0 * kPi * 1000.0 * n / rate) + 0.5 * std::sin(2.0 * kPi * high * n / rate);
        out[2 * n] = out[2 * n + 1] = static_cast<int16_t>(std::lround(v * 32767.0));
    }
    return out;
}

// Interleaved stereo test signal: a few harmonically unrelated tones plus noise, with a slow
// loudness swell, roughly the spectrum and crest of loud pop music.
inline std::vector<int16_t> musicLikeSignal(int frames, double sampleRate, double peak = 24000.0, uint32_t seed = 1) {
    std::vector<int16_t> out(2 * static_cast<size_t>(frames));
    uint32_t s = seed;
    auto noise = [&s] {
        s = s * 1664525u + 1013904223u;
        return (static_cast<int32_t>(s >> 8) & 0xFFFF) / 32768.0 - 1.0;
    };
    const double tones[] = {55.0, 110.0, 220.0, 441.0, 1000.0, 2500.0, 6000.0, 11000.0};
    const double levels[] = {0.30, 0.25, 0.15, 0.12, 0.10, 0.06, 0.04, 0.02};
    for (int n = 0; n < frames; ++n) {
        const double t = n / sampleRate;
        const double swell = 0.6 + 0.4 * std::sin(2.0 * kPi * 0.25 * t);
        double l = 0.0, r = 0.0;
        for (int k = 0; k < 8; ++k) {
            l += levels[k] * std::sin(2.0 * kPi * tones[k] * t);
            r += levels[k] * std::sin(2.0 * kPi * tones[k] * t + 0.3 * k);
        }
        l = (l + 0.1 * noise()) * swell;
        r = (r + 0.1 * noise()) * swell;
        out[2 * n] = static_cast<int16_t>(std::lround(std::fmax(-1.0, std::fmin(1.0, l)) * peak));
        out[2 * n + 1] = static_cast<int16_t>(std::lround(std::fmax(-1.0, std::fmin(1.0, r)) * peak));
    }
    return out;
}

// True peak by a 16x windowed-sinc interpolation (Kaiser, beta 10, +-64 input samples, double
// precision): the reference our 4x meter and the true-peak limiter are held to. Only the intervals
// with a sample within 12 dB of the sample peak are interpolated (a peak between samples 12 dB
// above both neighbours takes a contrived signal), which keeps minutes of sound quick to check;
// the first and last 64 samples are read as samples only (the sound is not known beyond them, and
// cutting it off there would ring).
// Linear, 1.0 = full scale; interleaved floats of `channels` channels.
// `floor`, when given, replaces the 12 dB: intervals whose samples both lie under it are skipped
// (a test that only asks whether a ceiling is passed reads the intervals near it).
inline double referenceTruePeak(const std::vector<float>& x, unsigned channels, double floor = -1.0) {
    constexpr int kUp = 16, kHalf = 64;
    static const std::vector<double> kernel = [] {
        auto i0 = [](double v) {
            double sum = 1.0, term = 1.0;
            for (int k = 1; k < 60; ++k) {
                term *= (v / (2.0 * k)) * (v / (2.0 * k));
                sum += term;
            }
            return sum;
        };
        std::vector<double> h(2 * kHalf * kUp + 1);
        for (int j = 0; j < static_cast<int>(h.size()); ++j) {
            const double t = double(j - kHalf * kUp) / kUp;
            const double sinc = t == 0.0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
            const double r = t / kHalf;
            h[j] = sinc * i0(10.0 * std::sqrt(std::max(0.0, 1.0 - r * r))) / i0(10.0);
        }
        return h;
    }();
    const size_t frames = x.size() / channels;
    double samplePeak = 0.0;
    for (float v : x) samplePeak = std::max(samplePeak, double(std::fabs(v)));
    if (floor < 0.0) floor = samplePeak / 4.0;
    double peak = samplePeak;
    for (unsigned c = 0; c < channels; ++c) {
        auto at = [&](long n) { return n < 0 || n >= long(frames) ? 0.0 : double(x[n * channels + c]); };
        for (long n = kHalf; n + kHalf < long(frames); ++n) {
            if (std::fabs(at(n)) < floor && std::fabs(at(n + 1)) < floor) continue;
            for (int phase = 1; phase < kUp; ++phase) {  // the point n + phase/16
                double sum = 0.0;
                for (int k = -kHalf + 1; k <= kHalf; ++k) sum += at(n + k) * kernel[kHalf * kUp + phase - k * kUp];
                peak = std::max(peak, std::fabs(sum));
            }
        }
    }
    return peak;
}

inline std::vector<float> toFloat(const std::vector<int16_t>& x) {
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = x[i] / 32768.0f;
    return out;
}

// Root mean square of interleaved samples from frame `firstFrame` on (both channels together).
inline double rmsOf(const std::vector<int16_t>& x, size_t firstFrame = 0) {
    double sum = 0.0;
    size_t n = 0;
    for (size_t i = 2 * firstFrame; i < x.size(); ++i, ++n) sum += double(x[i]) * x[i];
    return n == 0 ? 0.0 : std::sqrt(sum / double(n));
}

// Root mean square of one channel's samples from index `first` on.
inline double rmsOf(const std::vector<double>& x, size_t first) {
    double sum = 0.0;
    for (size_t i = first; i < x.size(); ++i) sum += x[i] * x[i];
    return first >= x.size() ? 0.0 : std::sqrt(sum / double(x.size() - first));
}

// One channel (0 left, 1 right) of an interleaved buffer as doubles.
inline std::vector<double> channelOf(const std::vector<int16_t>& x, int channel) {
    std::vector<double> out(x.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = x[2 * i + channel];
    return out;
}

// Index of the first non-zero value, or the size when all are zero.
inline int firstNonZero(const std::vector<double>& x) {
    size_t i = 0;
    while (i < x.size() && x[i] == 0.0) ++i;
    return int(i);
}

// The lag (minLag..maxLag) by which `late` best matches `early`: the peak of their
// cross-correlation sum(late[n + lag] * early[n]).
inline int bestLag(const std::vector<double>& late, const std::vector<double>& early, int minLag, int maxLag) {
    int best = minLag;
    double bestSum = -1e300;
    for (int lag = minLag; lag <= maxLag; ++lag) {
        double sum = 0.0;
        for (size_t n = 0; n < early.size(); ++n) {
            const long m = long(n) + lag;
            if (m >= 0 && m < long(late.size())) sum += late[m] * early[n];
        }
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

// Interleaved stereo white noise, uniform in -peak..peak, independent channels.
inline std::vector<int16_t> whiteNoise(int frames, double peak, uint32_t seed = 7) {
    std::vector<int16_t> out(2 * static_cast<size_t>(frames));
    uint32_t s = seed;
    for (int16_t& v : out) {
        s = s * 1664525u + 1013904223u;
        v = static_cast<int16_t>(std::lround(((s >> 8) / 8388608.0 - 1.0) * peak));
    }
    return out;
}

// Index of the first element where a and b differ, or -1 when they are equal (sizes included).
template <class T>
long firstDifference(const std::vector<T>& a, const std::vector<T>& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        if (!(a[i] == b[i])) return long(i);
    }
    return a.size() == b.size() ? -1 : long(n);
}

}  // namespace loudara::test

#pragma once
// Alias measurement: tones through the chain (or one clipper), and the energy of the output that
// lies on no product the tones can make below half the rate, relative to the whole output.
//
// The tones sit on whole bins of the analysis length (k cycles in kAliasFrames, k odd), so every
// harmonic and intermodulation product below half the rate lands on a whole bin, while a product
// folded from above half the rate lands on one that no low-order product occupies. A Hann window
// keeps each line within a few bins; everything outside those bins is counted as alias.
//
// A pair's products are kept up to a high order. A clip makes them without any folding (the same
// clip run at 64 times the rate does), and a hard one makes them slowly weaker with the order:
// driven 3.5 dB into it, 9 and 13 kHz put -47 dB of the output on products of orders 11 to 41
// below half the rate (lines at 11.0, 15.0 and 3.0 kHz, orders 11, 13 and 15), and -73 dB on
// those above. The 85 lines up to order 41 that lie below half of 44.1 kHz take 7 % of the bins.
//
// The chain adds a dither of up to 1/32 of a 16-bit step at its input. It is noise, not alias,
// yet where a preset's final low-pass takes a high tone 70 dB and more down, the dither that the
// low bands raise is most of what is left beside it; the measurement runs without it.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <type_traits>
#include <vector>

#include "processor/processor.h"

namespace loudara::test {

inline constexpr int kAliasFrames = 16384;
inline constexpr int kProductOrder = 41;  // a pair's products a f1 + b f2 with |a| + |b| up to this are kept
inline constexpr int kLineHalfWidth = 3;  // bins either side of a kept line

// In-place radix-2 FFT (size a power of two).
inline void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> turn = std::polar(1.0, -2.0 * std::numbers::pi / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= turn;
            }
        }
    }
}

// The whole-bin frequency nearest to hz with an odd bin number.
inline int toneBin(double hz, int rate) {
    int k = static_cast<int>(std::lround(hz * kAliasFrames / rate));
    return k % 2 ? k : k + 1;
}

// Alias energy of one channel's last kAliasFrames values relative to its total energy, in dB,
// for tones on bins k1 and (when non-zero) k2. Bins up to maxBin count (kAliasFrames / 2: all).
inline double aliasRatioDb(const std::vector<double>& x, int k1, int k2, int maxBin = kAliasFrames / 2) {
    std::vector<std::complex<double>> a(kAliasFrames);
    const size_t first = x.size() - kAliasFrames;
    for (int n = 0; n < kAliasFrames; ++n) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kAliasFrames);
        a[n] = x[first + n] * hann;
    }
    fft(a);
    const int half = kAliasFrames / 2;
    std::vector<bool> kept(half + 1, false);
    // A single tone keeps every harmonic below half the rate; a pair its products up to the order.
    const int order = k2 == 0 ? half / k1 : kProductOrder;
    for (int i = -order; i <= order; ++i) {
        for (int j = -order; j <= order; ++j) {
            if (std::abs(i) + std::abs(j) > order || (k2 == 0 && j != 0)) continue;
            const int bin = std::abs(i * k1 + j * k2);
            if (bin > half) continue;
            for (int b = std::max(0, bin - kLineHalfWidth); b <= std::min(half, bin + kLineHalfWidth); ++b) kept[b] = true;
        }
    }
    double total = 0.0, alias = 0.0;
    for (int b = 0; b <= half; ++b) {
        const double e = std::norm(a[b]);
        total += e;
        if (!kept[b] && b <= maxBin) alias += e;
    }
    return 10.0 * std::log10(std::max(alias, 1e-30) / total);
}

// One or two tones at -6 dBFS each, the same in both channels, long enough for the chain to settle
// (seconds) and for the analysis after it: 16-bit samples, or floats at full scale 1.0 (not
// rounded to 16 bits).
template <class Sample = int16_t>
inline std::vector<Sample> aliasTones(int rate, int k1, int k2, double seconds) {
    const int frames = static_cast<int>(seconds * rate) + kAliasFrames;
    std::vector<Sample> out(2 * static_cast<size_t>(frames));
    const double amplitude = 0.5 * 32767.0;
    for (int n = 0; n < frames; ++n) {
        const double phase = 2.0 * std::numbers::pi * n / kAliasFrames;
        double v = amplitude * std::sin(phase * k1);
        if (k2) v += amplitude * std::sin(phase * k2 + 1.0);
        if constexpr (std::is_same_v<Sample, float>) {
            out[2 * n] = out[2 * n + 1] = static_cast<float>(v / 32768.0);
        } else {
            out[2 * n] = out[2 * n + 1] = static_cast<int16_t>(std::lround(std::clamp(v, -32767.0, 32767.0)));
        }
    }
    return out;
}

// The tone sets of the alias measurement: single tones high in the band and a pair.
struct AliasTones {
    const char* label;
    double hz1, hz2;
};
inline constexpr AliasTones kAliasToneSets[] = {
    {"5k", 5000, 0}, {"10k", 10000, 0}, {"15k", 15000, 0}, {"17k", 17000, 0}, {"9k+13k", 9000, 13000},
};

// Alias ratio of the chain's output for a tone set through a prepared processor; the worse of
// the two channels. The 16-bit path (Sample int16_t), or the float path, whose output keeps what
// lies under the 16-bit step: where a preset's filters leave a high tone 45 dB and more down, the
// 16-bit output's own rounding is all that remains of it.
template <class Sample = int16_t>
inline double chainAliasDb(Processor& p, int rate, const AliasTones& tones, double settleSeconds = 2.0) {
    const int k1 = toneBin(tones.hz1, rate), k2 = tones.hz2 > 0 ? toneBin(tones.hz2, rate) : 0;
    const std::vector<Sample> in = aliasTones<Sample>(rate, k1, k2, settleSeconds);
    std::vector<Sample> out(in.size());
    if constexpr (std::is_same_v<Sample, float>) {
        processBlockFloat(p, static_cast<int32_t>(in.size()), in.data(), out.data());
    } else {
        processBlock(p, static_cast<int32_t>(in.size()), in.data(), out.data());
    }
    double worst = -400.0;
    for (int c = 0; c < 2; ++c) {
        std::vector<double> x(out.size() / 2);
        for (size_t n = 0; n < x.size(); ++n) x[n] = out[2 * n + c];
        worst = std::max(worst, aliasRatioDb(x, k1, k2));
    }
    return worst;
}

// The same for a built-in preset, oversampled clipping on or off, with `adjust` applied to the
// processor before it is prepared.
template <class Sample = int16_t, class Adjust>
double presetAliasDb(int preset, int rate, const AliasTones& tones, bool oversampled, Adjust adjust) {
    auto p = std::make_unique<Processor>();
    selectPresetById(*p, preset);
    p->settings.oversampledClipping = oversampled ? 1 : 0;
    adjust(*p);
    prepare(*p, rate);
    p->dither.state = 0;  // xorshift's fixed point: it draws 0 from here on
    return chainAliasDb<Sample>(*p, rate, tones);
}
inline double presetAliasDb(int preset, int rate, const AliasTones& tones, bool oversampled) {
    return presetAliasDb(preset, rate, tones, oversampled, [](Processor&) {});
}

}  // namespace loudara::test

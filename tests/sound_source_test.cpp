// The resampler measured on sines (distortion and noise, flatness, timing, length).

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "files/sound_resampler.h"
#include "measure.h"

namespace loudara {
namespace {

using test::kPi;

// The complex amplitude of the `hz` sine in samples y[from], y[from + step]... up to `to`, by a
// least-squares fit of a cos + b sin (a + ib; a sine of phase 0 gives ib).
std::complex<double> fitSine(const std::vector<float>& y, double hz, double rate, std::size_t from, std::size_t to,
                             std::size_t step = 1) {
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double c = std::cos(2.0 * kPi * hz * n / rate), s = std::sin(2.0 * kPi * hz * n / rate);
        cc += c * c, ss += s * s, cs += c * s, yc += y[n * step] * c, ys += y[n * step] * s;
    }
    const double det = cc * ss - cs * cs;
    return {(yc * ss - ys * cs) / det, (ys * cc - yc * cs) / det};
}

// The resampler alone, fed a mono sine of amplitude 0.5 at `hz` in blocks of 1000 frames.
std::vector<float> resampleSine(double hz, double inRate, double outRate, int64_t frames) {
    SoundResampler resampler(inRate, outRate, 1);
    std::vector<float> out, block;
    for (int64_t start = 0; start < frames; start += 1000) {
        block.clear();
        for (int64_t n = start; n < std::min<int64_t>(start + 1000, frames); ++n)
            block.push_back(static_cast<float>(0.5 * std::sin(2.0 * kPi * hz * static_cast<double>(n) / inRate)));
        EXPECT_TRUE(resampler.process(block.data(), block.size(), out)) << resampler.error();
    }
    EXPECT_TRUE(resampler.finish(out)) << resampler.error();
    return out;
}

TEST(SoundResampler, OneKilohertzAt96kHzKeepsDistortionAndNoiseBelow110dB) {
    const std::vector<float> out = resampleSine(1000.0, 96000, 48000, 96000 * 3);
    // The 1 kHz sine fitted over the middle second and taken away: what is left is the rest.
    const std::size_t from = 48000, to = 96000;
    const std::complex<double> fit = fitSine(out, 1000.0, 48000, from, to);
    double signal = 0, residual = 0;
    for (std::size_t n = from; n < to; ++n) {
        const double w = 2.0 * kPi * 1000.0 * n / 48000.0, y = fit.real() * std::cos(w) + fit.imag() * std::sin(w);
        signal += y * y;
        residual += (out[n] - y) * (out[n] - y);
    }
    const double thdN = 10.0 * std::log10(residual / signal);
    RecordProperty("thd_n_db", std::to_string(thdN));
    EXPECT_LT(thdN, -110.0);
    EXPECT_NEAR(std::arg(fit), kPi / 2, 1e-4);  // in time with the input: no delay is left
}

TEST(SoundResampler, PassbandIsFlatTo20kHz) {
    double worst = 0.0;
    for (const auto& [in, out] : {std::pair{96000.0, 48000.0}, {192000.0, 48000.0}, {88200.0, 44100.0}, {44100.0, 48000.0}}) {
        for (const double hz : {20.0, 100.0, 1000.0, 5000.0, 10000.0, 15000.0, 18000.0, 20000.0}) {
            const std::vector<float> y = resampleSine(hz, in, out, static_cast<int64_t>(in));
            const double db = test::toDb(std::abs(fitSine(y, hz, out, y.size() / 4, 3 * y.size() / 4)) / 0.5);
            EXPECT_NEAR(db, 0.0, 0.05) << hz << " Hz, " << in << " -> " << out;
            worst = std::max(worst, std::abs(db));
        }
    }
    RecordProperty("largest_deviation_db", std::to_string(worst));
}

TEST(SoundResampler, KeepsTheLengthInTime) {
    double worst = 0.0;
    for (const auto& [in, out] : {std::pair{96000.0, 48000.0}, {22050.0, 44100.0}, {8000.0, 48000.0}, {37800.0, 44100.0},
                                  {192000.0, 48000.0}, {11025.0, 44100.0}}) {
        for (const int64_t frames : {int64_t{1}, int64_t{999}, int64_t{1000}, static_cast<int64_t>(in) * 2 + 7}) {
            const double want = static_cast<double>(frames) * out / in;
            const double got = static_cast<double>(resampleSine(440.0, in, out, frames).size());
            EXPECT_NEAR(got, want, 1.0) << frames << " frames, " << in << " -> " << out;
            worst = std::max(worst, std::abs(got - want));
        }
    }
    RecordProperty("largest_length_error_frames", std::to_string(worst));
}

}  // namespace
}  // namespace loudara

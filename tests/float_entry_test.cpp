// The float entry of the chain: 16-bit values fed as floats come out as processBlock's samples
// once rounded the same way, either entry may follow the other on one processor, a float output
// keeps levels far below the 16-bit step, and damaged float input leaves the chain working.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <utility>
#include <vector>

#include "measure.h"
#include "processor/processor.h"

namespace loudara {
namespace {

constexpr int kRate = 44100;
constexpr double kScale = 32768.0;

std::unique_ptr<Processor> preparedProcessor() {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    prepare(*p, kRate);
    return p;
}

std::vector<float> asFloat(const std::vector<int16_t>& x) {
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = float(x[i] / kScale);
    return out;
}

// A float output against processBlock's sample: at the 16-bit scale within one step of it, and
// truncated toward zero (processBlock's rounding) the sample itself, unless the float rounding
// landed exactly on the next whole step away from zero; those are counted in *roundedUp.
void expectSameSample(float out, int16_t sample, size_t* roundedUp) {
    const double y = double(out) * kScale;
    ASSERT_LE(std::abs(y - sample), 1.0) << y << " against " << sample;
    if (int(y) == sample) return;
    ++*roundedUp;
    ASSERT_TRUE(y == std::round(y) && std::abs(y) == std::abs(sample) + 1 && (y > 0) == (sample >= 0))
        << y << " against " << sample;
}

// Mean and level (root mean square about the mean) of one channel from frame `first` on.
template <class T>
std::pair<double, double> meanAndAcLevel(const std::vector<T>& x, int channel, size_t first, double scale) {
    double sum = 0.0, squares = 0.0;
    const size_t frames = x.size() / 2 - first;
    for (size_t n = first; n < x.size() / 2; ++n) {
        sum += double(x[2 * n + channel]) * scale;
        squares += double(x[2 * n + channel]) * scale * double(x[2 * n + channel]) * scale;
    }
    const double mean = sum / double(frames);
    return {mean, std::sqrt(std::max(0.0, squares / double(frames) - mean * mean))};
}

TEST(FloatEntry, SixteenBitValuesComeOutAsTheSixteenBitSamplesFromEitherEntry) {
    const auto music = test::musicLikeSignal(4 * kRate, kRate);
    const auto floats = asFloat(music);
    auto sixteen = preparedProcessor();
    std::vector<int16_t> reference(music.size());
    processBlock(*sixteen, int32_t(music.size()), music.data(), reference.data());
    // The chain is doing real work: the output is loud and not the input.
    EXPECT_GT(test::rmsOf(reference, kRate), 3000.0);
    EXPECT_NE(test::firstDifference(reference, music), -1);

    // The whole song through the float entry.
    auto floating = preparedProcessor();
    std::vector<float> out(music.size());
    for (size_t at = 0; at < music.size(); at += 8192) {
        const auto n = int32_t(std::min<size_t>(8192, music.size() - at));
        processBlockFloat(*floating, n, floats.data() + at, out.data() + at);
    }
    size_t roundedUp = 0;
    for (size_t i = 0; i < music.size(); ++i) expectSameSample(out[i], reference[i], &roundedUp);
    EXPECT_LT(roundedUp, music.size() / 1000);
    EXPECT_EQ(floating->params.inputPeakL, sixteen->params.inputPeakL);
    EXPECT_NEAR(floating->params.outputPeakL, sixteen->params.outputPeakL, 1.0);

    // Blocks alternating between the entries on one processor, with sizes that split runs; the
    // float blocks in place. The 16-bit blocks are processBlock's samples exactly.
    auto mixed = preparedProcessor();
    std::vector<int16_t> sixteenOut(music.size(), 0x5A5A);
    std::vector<float> floatOut = floats;
    const int32_t sizes[] = {1000, 4096, 6, 2048, 666, 8192};
    for (size_t at = 0, k = 0; at < music.size(); ++k) {
        const auto n = int32_t(std::min<size_t>(sizes[k % 6], music.size() - at));
        if (k % 2 == 1) {
            processBlockFloat(*mixed, n, floatOut.data() + at, floatOut.data() + at);
            for (size_t i = at; i < at + size_t(n); ++i) expectSameSample(floatOut[i], reference[i], &roundedUp);
        } else {
            processBlock(*mixed, n, music.data() + at, sixteenOut.data() + at);
            for (size_t i = at; i < at + size_t(n); ++i) ASSERT_EQ(sixteenOut[i], reference[i]) << "value " << i;
        }
        at += size_t(n);
    }
}

TEST(FloatEntry, OddCountIgnoresTheLastValue) {
    const auto floats = asFloat(test::musicLikeSignal(2000, kRate));
    auto odd = preparedProcessor();
    auto even = preparedProcessor();
    std::vector<float> oddOut(floats.size(), 7.0f), evenOut(floats.size(), 7.0f);
    processBlockFloat(*odd, 2001, floats.data(), oddOut.data());
    processBlockFloat(*even, 2000, floats.data(), evenOut.data());
    for (int32_t count : {0, 1, -1}) processBlockFloat(*odd, count, floats.data(), oddOut.data());
    EXPECT_EQ(oddOut[2000], 7.0f);
    EXPECT_EQ(test::firstDifference(oddOut, evenOut), -1);
}

TEST(FloatEntry, BypassCarriesASineFarBelowTheSixteenBitStep) {
    // A 1 kHz sine at -110 dBFS is a tenth of a 16-bit step: as 16-bit input it is silence.
    const double amplitude = std::pow(10.0, -110.0 / 20.0);
    const size_t frames = 200 * 441;  // 2 s, a whole number of periods
    std::vector<float> sine(2 * frames);
    std::vector<int16_t> sine16(2 * frames);
    for (size_t i = 0; i < sine.size(); ++i) {
        const double x = amplitude * std::sin(2.0 * test::kPi * 1000.0 * double(i / 2) / kRate);
        sine[i] = float(x);
        sine16[i] = int16_t(std::lround(x * kScale));
    }
    EXPECT_EQ(test::rmsOf(sine16), 0.0);

    auto floating = preparedProcessor();
    floating->settings.bypass = 1;
    std::vector<float> out(sine.size());
    processBlockFloat(*floating, int32_t(sine.size()), sine.data(), out.data());
    // The sine's level at the output: its correlation with the sine (a constant does not count).
    for (int channel : {0, 1}) {
        std::complex<double> sum = 0.0;
        for (size_t n = 0; n < frames; ++n) {
            sum += double(out[2 * n + channel]) * std::polar(1.0, -2.0 * test::kPi * 1000.0 * double(n) / kRate);
        }
        EXPECT_NEAR(test::toDb(2.0 * std::abs(sum) / double(frames)), -110.0, 0.05);
    }
    // Bypass adds only the dither: 0 to 255/8192 of a 16-bit step, 127.5/8192 on average.
    double added = 0.0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double d = (double(out[i]) - double(sine[i])) * kScale;
        ASSERT_TRUE(d > -1e-6 && d < 255.0 / 8192.0 + 1e-6) << i << ": " << d;  // float: 1e-6 step here
        added += d / double(out.size());
    }
    EXPECT_NEAR(added, 127.5 / 8192.0, 0.002);

    // The 16-bit path cannot carry it: its output is silence.
    auto sixteen = preparedProcessor();
    sixteen->settings.bypass = 1;
    std::vector<int16_t> out16(sine16.size());
    processBlock(*sixteen, int32_t(sine16.size()), sine16.data(), out16.data());
    EXPECT_EQ(test::rmsOf(out16), 0.0);
}

TEST(FloatEntry, ValuesNoSixteenBitSongHoldsLeaveTheChainWorking) {
    auto floats = asFloat(test::musicLikeSignal(2 * kRate, kRate));
    const float damaged[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 3.0f, -3.0f, NAN};
    for (size_t k = 0; k < 40; ++k) floats[2000 + k] = damaged[k % 8];

    auto p = preparedProcessor();
    std::vector<float> out(floats.size());
    for (size_t at = 0; at < floats.size(); at += 8192) {
        const auto n = int32_t(std::min<size_t>(8192, floats.size() - at));
        processBlockFloat(*p, n, floats.data() + at, out.data() + at);
    }
    for (float y : out) ASSERT_TRUE(std::abs(y) <= 32760.0 / kScale) << y;
    EXPECT_TRUE(std::isfinite(p->params.inputPeakL) && std::isfinite(p->params.inputPeakR));

    // Music keeps coming out of the float entry and then of the 16-bit entry on the same
    // processor: loud, and about zero on average (a chain run to infinity holds the clamp).
    const auto [floatMean, floatLevel] = meanAndAcLevel(out, 0, size_t(kRate), kScale);
    EXPECT_GT(floatLevel, 3000.0);
    EXPECT_LT(std::abs(floatMean), 300.0);
    const auto music = test::musicLikeSignal(kRate, kRate);
    std::vector<int16_t> out16(music.size());
    processBlock(*p, int32_t(music.size()), music.data(), out16.data());
    const auto [mean16, level16] = meanAndAcLevel(out16, 0, size_t(kRate / 2), 1.0);
    EXPECT_GT(level16, 3000.0);
    EXPECT_LT(std::abs(mean16), 300.0);
}

}  // namespace
}  // namespace loudara

// The float entry of the chain: 16-bit values fed as floats come out as processBlock's samples
// once rounded the same way, either entry may follow the other on one processor, and a float
// output keeps levels far below the 16-bit step.

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

// How processBlock turns a chain value into its sample: truncation toward zero.
int truncatedSample(double chainValue) { return int(chainValue); }

// Compares float outputs with processBlock's samples: every float, at the 16-bit scale, lies
// within one step of the sample and truncates to it, except where the float rounding landed
// exactly on the next whole step away from zero. Counts those exceptions in *roundedUp.
void expectSameSamples(const std::vector<float>& floats, const std::vector<int16_t>& samples, size_t first,
                       size_t* roundedUp) {
    ASSERT_EQ(floats.size(), samples.size());
    double worst = 0.0;
    for (size_t i = first; i < floats.size(); ++i) {
        const double y = double(floats[i]) * kScale;
        worst = std::max(worst, std::abs(y - samples[i]));
        if (truncatedSample(y) == samples[i]) continue;
        const bool landedOnNextStep = y == std::round(y) && std::abs(y) == std::abs(double(samples[i])) + 1.0 &&
                                      (y > 0) == (samples[i] >= 0);
        EXPECT_TRUE(landedOnNextStep) << "value " << i << ": " << y << " against " << samples[i];
        ++*roundedUp;
    }
    EXPECT_LE(worst, 1.0);
}

// Level (dBFS, full scale 1.0) of the sine at `hz` in one channel of an interleaved float
// buffer: its correlation with the sine over `frames` frames from `first`, a whole number of
// periods, so a constant offset does not count.
double sineLevelDb(const std::vector<float>& x, int channel, double hz, size_t first, size_t frames) {
    std::complex<double> sum = 0.0;
    for (size_t n = first; n < first + frames; ++n) {
        sum += double(x[2 * n + channel]) * std::polar(1.0, -2.0 * test::kPi * hz * double(n) / kRate);
    }
    return test::toDb(2.0 * std::abs(sum) / double(frames));
}

TEST(FloatEntry, SixteenBitValuesComeOutAsTheSixteenBitSamples) {
    const auto music = test::musicLikeSignal(4 * kRate, kRate);
    const auto floats = asFloat(music);
    auto sixteen = preparedProcessor();
    auto floating = preparedProcessor();

    std::vector<int16_t> reference(music.size());
    std::vector<float> out(music.size());
    for (size_t at = 0; at < music.size(); at += 8192) {
        const auto n = int32_t(std::min<size_t>(8192, music.size() - at));
        processBlock(*sixteen, n, music.data() + at, reference.data() + at);
        processBlockFloat(*floating, n, floats.data() + at, out.data() + at);
    }
    // The chain is doing real work: the output is loud and not the input.
    EXPECT_GT(test::rmsOf(reference, kRate), 3000.0);
    EXPECT_NE(test::firstDifference(reference, music), -1);

    size_t roundedUp = 0;
    expectSameSamples(out, reference, 0, &roundedUp);
    EXPECT_LT(roundedUp, music.size() / 200);
    EXPECT_EQ(floating->params.inputPeakL, sixteen->params.inputPeakL);
    EXPECT_NEAR(floating->params.outputPeakL, sixteen->params.outputPeakL, 1.0);
}

TEST(FloatEntry, EitherEntryMayTakeTheNextBlock) {
    const auto music = test::musicLikeSignal(3 * kRate, kRate);
    const auto floats = asFloat(music);
    auto sixteen = preparedProcessor();
    std::vector<int16_t> reference(music.size());
    processBlock(*sixteen, int32_t(music.size()), music.data(), reference.data());

    // Blocks alternate between the entries on one processor, with sizes that split runs; the
    // float output is written in place.
    auto mixed = preparedProcessor();
    std::vector<int16_t> sixteenOut(music.size(), 0x5A5A);
    std::vector<float> floatOut = floats;
    std::vector<bool> wasFloat(music.size(), false);
    const int32_t sizes[] = {1000, 4096, 6, 2048, 333 * 2, 8192};
    size_t at = 0;
    for (int k = 0; at < music.size(); ++k) {
        const auto n = int32_t(std::min<size_t>(sizes[k % 6], music.size() - at));
        if (k % 2 == 1) {
            processBlockFloat(*mixed, n, floatOut.data() + at, floatOut.data() + at);
            std::fill(wasFloat.begin() + long(at), wasFloat.begin() + long(at) + n, true);
        } else {
            processBlock(*mixed, n, music.data() + at, sixteenOut.data() + at);
        }
        at += size_t(n);
    }
    size_t floatValues = 0, roundedUp = 0;
    for (size_t i = 0; i < music.size(); ++i) {
        if (wasFloat[i]) {
            ++floatValues;
            expectSameSamples({floatOut[i]}, {reference[i]}, 0, &roundedUp);
        } else {
            ASSERT_EQ(sixteenOut[i], reference[i]) << "value " << i;
        }
    }
    EXPECT_GT(floatValues, music.size() / 2);
}

TEST(FloatEntry, OddCountIgnoresTheLastValue) {
    const auto floats = asFloat(test::musicLikeSignal(2000, kRate));
    auto odd = preparedProcessor();
    auto even = preparedProcessor();
    std::vector<float> oddOut(floats.size(), 7.0f), evenOut(floats.size(), 7.0f);
    processBlockFloat(*odd, 2001, floats.data(), oddOut.data());
    processBlockFloat(*even, 2000, floats.data(), evenOut.data());
    EXPECT_EQ(oddOut[2000], 7.0f);
    EXPECT_EQ(test::firstDifference(oddOut, evenOut), -1);
    for (int32_t count : {0, 1, -1}) processBlockFloat(*odd, count, floats.data(), oddOut.data());
    EXPECT_EQ(test::firstDifference(oddOut, evenOut), -1);
}

TEST(FloatEntry, BypassCarriesASineFarBelowTheSixteenBitStep) {
    // A 1 kHz sine at -110 dBFS is a tenth of a 16-bit step: as 16-bit input it is silence.
    const double amplitude = std::pow(10.0, -110.0 / 20.0);
    const size_t frames = 200 * 441;  // 2 s, a whole number of 1 kHz periods
    std::vector<float> sine(2 * frames);
    std::vector<int16_t> sine16(2 * frames);
    for (size_t n = 0; n < frames; ++n) {
        const double x = amplitude * std::sin(2.0 * test::kPi * 1000.0 * double(n) / kRate);
        sine[2 * n] = sine[2 * n + 1] = float(x);
        sine16[2 * n] = sine16[2 * n + 1] = int16_t(std::lround(x * kScale));
    }
    EXPECT_EQ(test::rmsOf(sine16), 0.0);

    auto floating = preparedProcessor();
    floating->settings.bypass = 1;
    std::vector<float> out(sine.size());
    processBlockFloat(*floating, int32_t(sine.size()), sine.data(), out.data());
    EXPECT_NEAR(sineLevelDb(out, 0, 1000.0, 0, frames), -110.0, 0.05);
    EXPECT_NEAR(sineLevelDb(out, 1, 1000.0, 0, frames), -110.0, 0.05);

    // Bypass adds only the dither: 0 to 255/8192 of a 16-bit step, constant on average.
    double offset = 0.0;
    for (size_t i = 0; i < out.size(); ++i) {
        const double added = (double(out[i]) - double(sine[i])) * kScale;
        ASSERT_GE(added, -1e-6) << i;  // a float keeps a millionth of a step here
        ASSERT_LE(added, 255.0 / 8192.0 + 1e-6) << i;
        offset += added;
    }
    EXPECT_NEAR(offset / double(out.size()), 127.5 / 8192.0, 0.002);

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
    double loudest = 0.0;
    for (float y : out) {
        ASSERT_TRUE(std::isfinite(y));
        loudest = std::max(loudest, double(std::abs(y)));
    }
    EXPECT_LE(loudest, 32760.0 / kScale);
    EXPECT_TRUE(std::isfinite(p->params.inputPeakL) && std::isfinite(p->params.inputPeakR));

    // Music goes on coming out, of the float entry after the damage and of the 16-bit entry on
    // the same processor after that: loud, and about zero on average (a chain run to infinity
    // gives a constant at the clamp).
    auto level = [](const std::vector<double>& x) {
        double mean = 0.0;
        for (double v : x) mean += v / double(x.size());
        std::vector<double> ac(x.size());
        for (size_t i = 0; i < x.size(); ++i) ac[i] = x[i] - mean;
        return std::pair{mean, test::rmsOf(ac, 0)};
    };
    std::vector<double> floatLeft;
    for (size_t n = floats.size() / 4; n < floats.size() / 2; ++n) floatLeft.push_back(out[2 * n] * kScale);
    const auto [floatMean, floatAc] = level(floatLeft);
    EXPECT_GT(floatAc, 3000.0);
    EXPECT_LT(std::abs(floatMean), 300.0);

    const auto music = test::musicLikeSignal(kRate, kRate);
    std::vector<int16_t> out16(music.size());
    processBlock(*p, int32_t(music.size()), music.data(), out16.data());
    const auto left16 = test::channelOf(out16, 0);
    const auto [mean16, ac16] = level(std::vector<double>(left16.begin() + kRate / 2, left16.end()));
    EXPECT_GT(ac16, 3000.0);
    EXPECT_LT(std::abs(mean16), 300.0);
}

}  // namespace
}  // namespace loudara

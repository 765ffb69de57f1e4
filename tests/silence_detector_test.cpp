// Dead air measured: a quiet tone below the threshold turns silent after exactly the hold time, a
// tone above never does; a click in the silence does not end it, half a second of sound does; the
// 16-bit and the float entries agree, and the answer does not depend on how the frames are cut
// into blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "measure/silence_detector.h"

namespace loudara {
namespace {

constexpr uint32_t kRate = 44100;

// A 1 kHz stereo tone with a peak of `dbfs`.
std::vector<int16_t> tone(double dbfs, double seconds) {
    const std::size_t frames = static_cast<std::size_t>(seconds * kRate);
    const double amplitude = 32768.0 * std::pow(10.0, dbfs / 20.0);
    std::vector<int16_t> out(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * 1000.0 * i / kRate)));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

std::vector<int16_t> join(std::vector<int16_t> a, const std::vector<int16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The frame (a multiple of the 4410-frame window) at which the detector's state first differs from
// `from`, fed in blocks of `block` frames; -1 when it never does.
long firstChange(SilenceDetector& d, const std::vector<int16_t>& samples, std::size_t block, bool from) {
    const std::size_t frames = samples.size() / 2;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t n = std::min(block, frames - done);
        for (std::size_t i = 0; i < n; ++i) {
            d.addFrames(&samples[2 * (done + i)], 1);
            if (d.silent() != from) return static_cast<long>(done + i + 1);
        }
        done += n;
    }
    return -1;
}

TEST(SilenceDetector, BelowTheThresholdForTheHoldTimeIsSilenceAndAboveItNeverIs) {
    SilenceDetector d;
    d.configure(kRate, -50, 2);
    EXPECT_FALSE(d.silent());
    // -56 dBFS: dead air after exactly 2 s (20 windows), whatever the block size.
    for (std::size_t block : {4096u, 1u, 777u}) {
        d.reset();
        EXPECT_EQ(firstChange(d, tone(-56, 3), block, false), 2 * static_cast<long>(kRate)) << block;
        EXPECT_GE(d.silentFrames(), 2u * kRate);
    }
    // -44 dBFS: never, nor digital silence with a quiet tone peaking at the threshold plus 0.5 dB.
    d.reset();
    EXPECT_EQ(firstChange(d, tone(-44, 10), 4096, false), -1);
    EXPECT_EQ(firstChange(d, tone(-49.5, 10), 4096, false), -1);
    EXPECT_EQ(d.silentFrames(), 0u);
}

TEST(SilenceDetector, AClickDoesNotEndTheSilenceHalfASecondOfSoundDoes) {
    SilenceDetector d;
    d.configure(kRate, -50, 1);
    // (firstChange stops feeding at the change: 1 s fed.)
    ASSERT_EQ(firstChange(d, tone(-90, 1.5), 4096, false), static_cast<long>(kRate));
    // One loud window, then quiet again: still silent, and the silence keeps its length.
    EXPECT_EQ(firstChange(d, join(tone(-6, 0.1), tone(-90, 2)), 4096, true), -1);
    EXPECT_EQ(d.silentFrames(), static_cast<uint64_t>(3.1 * kRate));
    // Sound: over after five windows of it.
    EXPECT_EQ(firstChange(d, tone(-20, 2), 4096, true), 5 * static_cast<long>(kRate / 10));
    EXPECT_EQ(d.silentFrames(), 0u);
    // And the hold starts again from the last loud window.
    EXPECT_EQ(firstChange(d, tone(-90, 2), 4096, false), static_cast<long>(kRate));
}

TEST(SilenceDetector, FloatFramesGiveTheSameAnswerAsSixteenBitOnes) {
    const std::vector<int16_t> samples = join(join(tone(-30, 0.5), tone(-60, 2.5)), tone(-12, 1));
    std::vector<float> floats(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) floats[i] = samples[i] / 32768.0f;
    SilenceDetector a, b;
    a.configure(kRate, -50, 1.5);
    b.configure(kRate, -50, 1.5);
    std::vector<int> statesA, statesB;
    for (std::size_t i = 0; i < samples.size() / 2; i += 441) {
        a.addFrames(&samples[2 * i], 441);
        b.addFrames(&floats[2 * i], 441);
        statesA.push_back(a.silent());
        statesB.push_back(b.silent());
        ASSERT_EQ(a.silentFrames(), b.silentFrames()) << i;
    }
    EXPECT_EQ(statesA, statesB);
    // Quiet from 0.5 s, silent from 2.0 s until half a second into the sound at 3.0 s: 150 steps.
    EXPECT_EQ(std::count(statesA.begin(), statesA.end(), 1), 150);
}

}  // namespace
}  // namespace loudara

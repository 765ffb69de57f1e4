#include "measure/loudness_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <numbers>
#include <vector>

namespace loudara {
namespace {

std::vector<std::int16_t> sine(unsigned rate, unsigned channels, double seconds, double frequencyHz, double levelDbfs) {
    const std::size_t frames = static_cast<std::size_t>(seconds * rate);
    const double amplitude = 32768.0 * std::pow(10.0, levelDbfs / 20.0);
    std::vector<std::int16_t> samples(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double value = std::lround(amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz * i / rate));
        for (unsigned c = 0; c < channels; ++c) samples[i * channels + c] = static_cast<std::int16_t>(value);
    }
    return samples;
}

// 1 kHz at -23 dBFS on both channels reads -23 LUFS, whatever pieces it is fed in; a mono copy
// reads the same as the stereo one.
TEST(LoudnessMeter, SineAtMinus23ReadsMinus23WhateverTheFeedSizes) {
    for (unsigned channels : {1u, 2u}) {
        const auto samples = sine(48000, channels, 20.0, 1000.0, -23.0);
        LoudnessMeter whole(48000, channels);
        whole.addFrames(samples.data(), samples.size() / channels);
        LoudnessMeter pieces(48000, channels);
        for (std::size_t at = 0, piece = 1; at < samples.size() / channels; at += piece, piece = piece * 3 % 4099 + 1) {
            pieces.addFrames(samples.data() + at * channels, std::min(piece, samples.size() / channels - at));
        }
        EXPECT_NEAR(whole.integratedLufs(), -23.0, 0.1) << channels;
        EXPECT_NEAR(whole.maxMomentaryLufs(), -23.0, 0.1);
        EXPECT_NEAR(whole.maxShortTermLufs(), -23.0, 0.1);
        EXPECT_DOUBLE_EQ(pieces.maxMomentaryLufs(), whole.maxMomentaryLufs());
        EXPECT_DOUBLE_EQ(pieces.integratedLufs(), whole.integratedLufs());
        EXPECT_NEAR(whole.samplePeakDbfs(), -23.0, 0.01);
    }
}

// A 1 kHz stereo tone in steps of (level dBFS, seconds), as the EBU test sequences are described.
std::vector<std::int16_t> steps(unsigned rate, std::initializer_list<std::pair<double, double>> levels) {
    std::vector<std::int16_t> out;
    for (const auto& [level, seconds] : levels) {
        const auto part = sine(rate, 2, seconds, 1000.0, level);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

LoudnessFigures measure(const std::vector<std::int16_t>& samples, unsigned rate) {
    LoudnessMeter meter(rate, 2, LoudnessMeter::History::Exact, LoudnessMeter::Peaks::SampleOnly);
    meter.addFrames(samples.data(), samples.size() / 2);
    return meter.figures();
}

// Tech 3341's stepped sequences: the gate keeps quiet parts out of the integrated loudness.
TEST(LoudnessMeter, SteppedSequencesReadTheirIntegratedLoudness) {
    EXPECT_NEAR(measure(steps(48000, {{-36, 10}, {-23, 60}, {-36, 10}}), 48000).integratedLufs, -23.0, 0.1);
    EXPECT_NEAR(measure(steps(44100, {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}), 44100).integratedLufs,
                -23.0, 0.1);
    EXPECT_NEAR(measure(steps(32000, {{-26, 20}, {-20, 20.1}, {-26, 20}}), 32000).integratedLufs, -23.0, 0.1);
}

// Tech 3342's loudness-range cases, within their +/-1 LU.
TEST(LoudnessMeter, LoudnessRangeCases) {
    EXPECT_NEAR(measure(steps(48000, {{-20, 20}, {-30, 20}}), 48000).loudnessRangeLu, 10.0, 1.0);
    EXPECT_NEAR(measure(steps(48000, {{-20, 20}, {-15, 20}}), 48000).loudnessRangeLu, 5.0, 1.0);
    EXPECT_NEAR(measure(steps(48000, {{-40, 20}, {-20, 20}}), 48000).loudnessRangeLu, 20.0, 1.0);
    EXPECT_NEAR(measure(steps(44100, {{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}), 44100).loudnessRangeLu,
                15.0, 1.0);
}

// A sine at a quarter of the rate whose samples fall 45 degrees from its crests: the samples
// reach 3 dB below the peak, the true peak finds it (Tech 3341 allows +0.2 / -0.4 dB).
TEST(LoudnessMeter, TruePeakFindsThePeakBetweenTheSamples) {
    for (unsigned rate : {44100u, 48000u}) {
        const double amplitude = 32768.0 * std::pow(10.0, -6.0 / 20.0);
        std::vector<std::int16_t> samples(2 * rate);
        for (std::size_t i = 0; i < samples.size() / 2; ++i) {
            const double v = std::lround(amplitude * std::sin(std::numbers::pi / 2.0 * i + std::numbers::pi / 4.0));
            samples[2 * i] = samples[2 * i + 1] = static_cast<std::int16_t>(v);
        }
        LoudnessMeter meter(rate, 2);
        meter.addFrames(samples.data(), samples.size() / 2);
        EXPECT_NEAR(meter.samplePeakDbfs(), -6.0 - 3.01, 0.01) << rate;
        EXPECT_GE(meter.truePeakDbtp(), -6.4) << rate;
        EXPECT_LE(meter.truePeakDbtp(), -5.8) << rate;
    }
}

TEST(LoudnessMeter, SilenceAndShortSongsHaveNoLoudness) {
    LoudnessMeter meter(44100, 2);
    EXPECT_FALSE(hasValue(meter.integratedLufs()));
    std::vector<std::int16_t> silence(44100 * 2 * 5, 0);
    meter.addFrames(silence.data(), 44100 * 5);
    EXPECT_FALSE(hasValue(meter.integratedLufs()));
    EXPECT_FALSE(hasValue(meter.truePeakDbtp()));
    LoudnessMeter brief(44100, 2);
    const auto blip = sine(44100, 2, 0.1, 1000.0, -6.0);
    brief.addFrames(blip.data(), blip.size() / 2);
    EXPECT_FALSE(hasValue(brief.integratedLufs()));
    EXPECT_FALSE(hasValue(brief.maxMomentaryLufs()));
    EXPECT_NEAR(brief.samplePeakDbfs(), -6.0, 0.01);
}

}  // namespace
}  // namespace loudara

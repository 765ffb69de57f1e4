#include "core/loudness_meter.h"

#include <gtest/gtest.h>

#include <cmath>
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

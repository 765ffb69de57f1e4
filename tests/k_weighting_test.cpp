#include "measure/k_weighting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace loudara {
namespace {

// The coefficients the recommendation tabulates for 48 kHz.
TEST(KWeighting, DesignAt48kHzMatchesThePublishedTable) {
    const KWeightingDesign d = designKWeighting(48000.0);
    EXPECT_NEAR(d.shelf.b0, 1.53512485958697, 1e-6);
    EXPECT_NEAR(d.shelf.b1, -2.69169618940638, 1e-6);
    EXPECT_NEAR(d.shelf.b2, 1.19839281085285, 1e-6);
    EXPECT_NEAR(d.shelf.a1, -1.69065929318241, 1e-6);
    EXPECT_NEAR(d.shelf.a2, 0.73248077421585, 1e-6);
    EXPECT_NEAR(d.highPass.a1, -1.99004745483398, 1e-6);
    EXPECT_NEAR(d.highPass.a2, 0.99007225036621, 1e-6);
}

// Gain in dB of the weighting at hz, from the mean energy of a settled stereo sine of amplitude
// 0.5 (mean square 0.125 a channel), fed as 16-bit or as float frames.
double weightedGainDb(unsigned rate, double hz, unsigned channels, bool asFloat) {
    KWeighting filter(rate);
    const std::size_t frames = rate * 2;
    std::vector<std::int16_t> shorts(frames * channels);
    std::vector<float> floats(frames * channels);
    for (std::size_t n = 0; n < frames; ++n) {
        const double v = 0.5 * std::sin(2.0 * std::numbers::pi * hz * n / rate);
        for (unsigned c = 0; c < channels; ++c) {
            shorts[n * channels + c] = static_cast<std::int16_t>(std::lround(v * 32768.0));
            floats[n * channels + c] = static_cast<float>(shorts[n * channels + c] / 32768.0);
        }
    }
    std::vector<float> energies(frames);
    if (asFloat) {
        kWeightedEnergies(filter, floats.data(), frames, channels, energies.data());
    } else {
        kWeightedEnergies(filter, shorts.data(), frames, channels, energies.data());
    }
    double sum = 0.0;
    for (std::size_t n = frames / 2; n < frames; ++n) sum += energies[n];
    return 10.0 * std::log10(sum / (frames - frames / 2) / (2 * 0.125));
}

// The weighting's curve: nothing at DC, -6 dB at the high-pass's corner (38 Hz), +0.69 dB at 1 kHz (the
// offset that makes a 1 kHz sine read its level), the shelf's +4 dB plateau above 5 kHz; the same
// at every rate; a mono channel weighs as the two of a stereo pair; 16-bit and float frames agree.
TEST(KWeighting, ResponseByMeasurementAtEveryRate) {
    for (unsigned rate : {32000u, 44100u, 48000u, 96000u}) {
        EXPECT_LT(weightedGainDb(rate, 5.0, 2, false), -20.0) << rate;
        EXPECT_NEAR(weightedGainDb(rate, 38.0, 2, false), -6.0, 0.1) << rate;  // a Q of 0.5: half the gain at the corner
        EXPECT_NEAR(weightedGainDb(rate, 997.0, 2, false), 0.691, 0.02) << rate;
        EXPECT_NEAR(weightedGainDb(rate, 8000.0, 2, false), 4.0, 0.1) << rate;
        EXPECT_NEAR(weightedGainDb(rate, 997.0, 1, false), weightedGainDb(rate, 997.0, 2, false), 1e-4) << rate;
        EXPECT_NEAR(weightedGainDb(rate, 3000.0, 2, true), weightedGainDb(rate, 3000.0, 2, false), 1e-4) << rate;
    }
}

// After a loud sound the filters' decay reaches exactly zero in silence, and reset forgets it; a
// sample that is no number spoils only the piece it comes in.
TEST(KWeighting, DecaysToNothingResetsAndRecoversFromNoNumber) {
    KWeighting filter(44100.0);
    std::vector<std::int16_t> loud(2 * 4410, 30000), silence(2 * 44100 * 20, 0);
    std::vector<float> energies(44100 * 20);
    kWeightedEnergies(filter, loud.data(), 4410, 2, energies.data());
    kWeightedEnergies(filter, silence.data(), 44100 * 20, 2, energies.data());
    EXPECT_EQ(energies.back(), 0.0f);
    kWeightedEnergies(filter, loud.data(), 4410, 2, energies.data());
    const float first = energies[0];
    filter.reset();
    kWeightedEnergies(filter, loud.data(), 1, 2, energies.data());
    EXPECT_EQ(energies[0], first);

    std::vector<float> spoilt(2 * 100, 0.25f);
    spoilt[2 * 50] = std::nanf("");
    kWeightedEnergies(filter, spoilt.data(), 100, 2, energies.data());
    EXPECT_TRUE(std::isnan(energies[99]));
    std::vector<float> later(2 * 100, 0.0f);
    later[0] = 0.5f;
    kWeightedEnergies(filter, later.data(), 100, 2, energies.data());
    EXPECT_TRUE(std::isfinite(energies[99]));
    EXPECT_GT(energies[0], 0.0f);
}

}  // namespace
}  // namespace loudara

#include "measure/gated_blocks.h"

#include <gtest/gtest.h>

#include <cmath>

namespace loudara {
namespace {

// Blocks at -20 LUFS and -33 LUFS (13 LU under: out of the integrated loudness's relative gate,
// inside the range's), one under the absolute gate: the integrated loudness is -20 whichever way
// the blocks are kept; the range spans the two levels.
TEST(GatedBlocks, GatesAndPercentilesEitherWay) {
    for (auto keep : {GatedBlocks::Keep::Every, GatedBlocks::Keep::Histogram}) {
        GatedBlocks blocks(keep);
        EXPECT_EQ(blocks.gatedMeanEnergy(0.1), 0.0);
        EXPECT_EQ(blocks.rangeLu(0.01), 0.0);
        for (int i = 0; i < 50; ++i) {
            blocks.add(energyOfLoudness(-20.0));
            blocks.add(energyOfLoudness(-33.0));
        }
        blocks.add(energyOfLoudness(-71.0));
        EXPECT_EQ(blocks.count(), 100u);
        EXPECT_NEAR(loudnessOfEnergy(blocks.gatedMeanEnergy(0.1)), -20.0, 0.01);
        EXPECT_NEAR(blocks.rangeLu(0.01), 13.0, 0.01);
        blocks.clear();
        EXPECT_EQ(blocks.count(), 0u);
        EXPECT_EQ(blocks.gatedMeanEnergy(0.1), 0.0);
    }
}

// Levels spread evenly over 40 LU (one block each 0.013 LU): the histogram's figures stay within
// a hundredth of an LU of the exact ones, for the 10th/95th percentiles and the gated mean.
TEST(GatedBlocks, HistogramFollowsTheExactFigures) {
    GatedBlocks every(GatedBlocks::Keep::Every), histogram(GatedBlocks::Keep::Histogram);
    for (int i = 0; i < 3000; ++i) {
        const double lufs = -50.0 + 40.0 * ((i * 1237) % 3000) / 3000.0;
        every.add(energyOfLoudness(lufs));
        histogram.add(energyOfLoudness(lufs));
    }
    // The gate sits 20 LU under the mean energy, at -39.6 LUFS: 85 % of the 29.6 LU above it.
    EXPECT_NEAR(every.rangeLu(0.01), 0.85 * 29.64, 0.1);
    EXPECT_NEAR(histogram.rangeLu(0.01), every.rangeLu(0.01), 0.01);
    EXPECT_NEAR(loudnessOfEnergy(histogram.gatedMeanEnergy(0.1)), loudnessOfEnergy(every.gatedMeanEnergy(0.1)), 0.01);
}

}  // namespace
}  // namespace loudara

// The six band processors, watched frame by frame inside the chain: path delay, gain below the
// threshold and the reduction ceiling. Gates and band 0's reduction delay are checked sample for
// sample against the plain model (reference_chain_test).

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "measure.h"
#include "processor/processor.h"

namespace loudara {
namespace {

// Runs the chain one frame per call, so that each frame's band state can be read: look(i) is
// called after frame i.
template <class Look>
void frameByFrame(Processor& p, const std::vector<int16_t>& in, Look look) {
    int16_t out[2];
    for (size_t i = 0; 2 * i + 1 < in.size(); ++i) {
        processBlock(p, 2, &in[2 * i], out);
        look(int(i));
    }
}

using BandTrace = std::array<std::vector<double>, kBandCount>;

// Each band's left output, frame by frame. Band 1's output is the low sum of bands 0 and 1
// that the chain writes back into it.
BandTrace bandOutputs(Processor& p, const std::vector<int16_t>& in) {
    BandTrace out;
    frameByFrame(p, in, [&](int) {
        for (int b = 0; b < kBandCount; ++b) out[b].push_back(p.bands[b].outputL);
    });
    return out;
}

// A click at frame 0 and a little music after it, far below every threshold.
std::vector<int16_t> clickAndMusic(int frames) {
    auto x = test::musicLikeSignal(frames, 44100, 1500);
    for (int i = 0; i < 1000; ++i) x[2 * i] = x[2 * i + 1] = 0;
    x[0] = x[1] = 3000;
    return x;
}

// Bands that neither reduce nor clip the test signals (and no emphasis boosting the highs).
void keepBandsLinear(Processor& p) {
    p.params.preEmphasis = 0;
    for (BandSettings& band : p.bands) {
        band.driveDb = band.thresholdDb = 0;
        band.clipDb = 6;
    }
}

TEST(BandDelay, EveryBandPathIs898SamplesWhateverTheLookAhead) {
    const auto in = clickAndMusic(4000);
    BandTrace traces[2];
    const double releaseTimes[2] = {1, 5};
    for (int t = 0; t < 2; ++t) {
        auto p = std::make_unique<Processor>();
        p->params.bandReleaseTime = releaseTimes[t];
        selectEnvelopeTimes(*p);
        keepBandsLinear(*p);
        EXPECT_EQ(p->bands[3].lookAheadLength, t == 0 ? 880 : 110);
        std::array<int, kBandCount> firstIn;
        firstIn.fill(-1);
        frameByFrame(*p, in, [&](int i) {
            for (int b = 0; b < kBandCount; ++b) {
                if (firstIn[b] < 0 && p->bands[b].inputL != 0.0) firstIn[b] = i;
                traces[t][b].push_back(p->bands[b].outputL);
            }
        });
        for (int b = 0; b < kBandCount; ++b) {
            EXPECT_EQ(firstIn[b], 0) << "band " << b;
            EXPECT_EQ(test::firstNonZero(traces[t][b]) - firstIn[b], kBandDelaySamples) << "release " << releaseTimes[t] << " band " << b;
            EXPECT_EQ(p->bands[b].reductionPeak, 0.0);
        }
    }
    // Below the threshold the look-ahead length changes no band output at all.
    for (int b = 0; b < kBandCount; ++b) EXPECT_EQ(test::firstDifference(traces[0][b], traces[1][b]), -1) << "band " << b;
}

TEST(BandGain, BelowThresholdScalesWithDriveNormalizeGainAndOutputLevel) {
    // Two settings on the same signal: every band's output level differs by exactly the
    // product of the three gains, 6 dB + 20 log10(3) - 2 dB, and nothing is reduced.
    const auto in = test::musicLikeSignal(20000, 44100, 2500);
    double level[2][kBandCount];
    for (int k = 0; k < 2; ++k) {
        auto p = std::make_unique<Processor>();
        keepBandsLinear(*p);
        p->settings.normalizeGain = k == 0 ? 1 : 3;
        for (BandSettings& band : p->bands) {
            band.driveDb = k == 0 ? 0 : 6;
            band.outputDb = k == 0 ? 0 : -2;
        }
        const BandTrace out = bandOutputs(*p, in);
        for (int b = 0; b < kBandCount; ++b) {
            level[k][b] = test::rmsOf(out[b], 2000);
            EXPECT_EQ(p->bands[b].reductionPeak, 0.0) << "band " << b;
            EXPECT_EQ(p->bands[b].clipFlag, 0) << "band " << b;
        }
    }
    for (int b = 0; b < kBandCount; ++b) {
        EXPECT_GT(level[0][b], 10.0) << "band " << b << " hardly hears the test signal";
        EXPECT_NEAR(test::toDb(level[1][b] / level[0][b]), 6.0 + test::toDb(3.0) - 2.0, 1e-9) << "band " << b;
    }
}

TEST(BandReduction, NeverExceedsItsCeilingWithHugeInputAndDepth) {
    auto p = std::make_unique<Processor>();
    p->settings.normalizeGain = 16;
    p->params.agcDepthDb = 0;
    for (BandSettings& band : p->bands) {
        band.driveDb = band.depthDb = 24;
        band.thresholdDb = -32;
    }
    const auto noise = test::whiteNoise(20000, 32767);
    std::array<double, kBandCount> highest{};
    frameByFrame(*p, noise, [&](int i) {
        for (int b = 0; b < kBandCount; ++b) {
            ASSERT_LE(p->bands[b].reduction, 31743.0) << "band " << b << " frame " << i;
            highest[b] = std::fmax(highest[b], p->bands[b].reduction);
        }
    });
    for (int b = 0; b < kBandCount; ++b) {
        EXPECT_EQ(highest[b], 31743.0) << "band " << b;
        EXPECT_EQ(p->bands[b].reductionPeak, 31743.0) << "band " << b;
        EXPECT_TRUE(std::isfinite(p->bands[b].outputL)) << "band " << b;
    }
}

}  // namespace
}  // namespace loudara

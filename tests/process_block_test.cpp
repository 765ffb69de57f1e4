// The whole chain through processBlock: delays of its switchable parts and block-size invariance.
// What each stage does to the samples is checked against the plain model (reference_chain_test).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "measure.h"
#include "processor/processor.h"

namespace loudara {
namespace {

std::vector<int16_t> process(Processor& p, const std::vector<int16_t>& in) {
    std::vector<int16_t> out(in.size());
    processBlock(p, int32_t(in.size()), in.data(), out.data());
    return out;
}

// A chain whose bands neither reduce nor clip small signals (drive 0 dB, threshold 0 dB), with
// the switches that add delay set as given and the de-emphasis off.
std::unique_ptr<Processor> quietChain(double preEmphasis, double clipType, double finalLowpass) {
    auto p = std::make_unique<Processor>();
    for (BandSettings& band : p->bands) band.driveDb = band.thresholdDb = 0;
    p->params.preEmphasis = preEmphasis;
    p->settings.deEmphasisOn = 0;
    p->params.clipType = clipType;
    p->settings.finalLowpass = finalLowpass;
    selectFinalLowpass(*p);
    return p;
}

// A click on both channels at frame 0, well below every threshold of the quiet chain.
std::vector<int16_t> click(int frames) {
    std::vector<int16_t> x(2 * size_t(frames), 0);
    x[0] = x[1] = 3000;
    return x;
}

TEST(ChainDelay, NothingLeavesBeforeTheDelayLinesHaveRun) {
    // Every path runs through the bands' 898 frames, the emphasis lines' 65 and the adaptive
    // clipper's 2; the click's first non-zero output frame shows their sum.
    const struct {
        double preEmphasis, clipType;
        int firstFrame;
    } cases[] = {{0, 1, 898}, {2, 1, 963}, {1, 1, 963}, {0, 0, 900}, {2, 0, 965}};
    for (const auto& c : cases) {
        auto p = quietChain(c.preEmphasis, c.clipType, 0);
        EXPECT_EQ(test::firstNonZero(test::channelOf(process(*p, click(3000)), 0)), c.firstFrame) << "preEmphasis " << c.preEmphasis << " clipType " << c.clipType;
    }
}

TEST(ChainDelay, EachSwitchAddsExactlyItsDelay) {
    const auto base = test::channelOf(process(*quietChain(0, 1, 0), click(4000)), 0);
    const struct {
        double preEmphasis, clipType, finalLowpass;
        int lag;
    } cases[] = {{2, 1, 0, 65}, {1, 1, 0, 65}, {0, 0, 0, 2}, {0, 1, 1, 11}, {0, 1, 2, 11}, {2, 0, 1, 78}};
    for (const auto& c : cases) {
        const auto out = test::channelOf(process(*quietChain(c.preEmphasis, c.clipType, c.finalLowpass), click(4000)), 0);
        EXPECT_EQ(test::bestLag(out, base, -20, 120), c.lag)
            << "preEmphasis " << c.preEmphasis << " clipType " << c.clipType << " finalLowpass " << c.finalLowpass;
    }
    // Without clipping the adaptive clipper is a pure 2-frame delay: music comes out sample for
    // sample the same, only later.
    const auto music = test::musicLikeSignal(20000, 44100, 3000);
    const auto hard = process(*quietChain(0, 1, 0), music);
    const auto adaptive = process(*quietChain(0, 0, 0), music);
    const std::vector<int16_t> hardTail(hard.begin(), hard.end() - 4), adaptiveTail(adaptive.begin() + 4, adaptive.end());
    EXPECT_EQ(test::firstDifference(hardTail, adaptiveTail), -1);
}

TEST(BlockSplit, AnyBlockSizeAndInPlaceGiveTheSameBytes) {
    const auto music = test::musicLikeSignal(20 * 44100, 44100);
    auto whole = std::make_unique<Processor>();
    const auto reference = process(*whole, music);

    auto inBlocks = [&music](const std::vector<int>& framesPerBlock, bool inPlace) {
        auto p = std::make_unique<Processor>();
        std::vector<int16_t> out(music.size(), 0x5A5A);
        if (inPlace) out = music;
        size_t at = 0;
        for (size_t k = 0; at < music.size(); ++k) {
            const size_t n = std::min(size_t(2 * framesPerBlock[k % framesPerBlock.size()]), music.size() - at);
            processBlock(*p, int32_t(n), (inPlace ? out.data() : music.data()) + at, out.data() + at);
            at += n;
        }
        return out;
    };
    EXPECT_EQ(test::firstDifference(inBlocks({4096}, false), reference), -1);
    EXPECT_EQ(test::firstDifference(inBlocks({1001, 7, 4095, 1, 333, 2048}, false), reference), -1);
    EXPECT_EQ(test::firstDifference(inBlocks({4096}, true), reference), -1);
    EXPECT_EQ(test::firstDifference(inBlocks({16384, 3}, true), reference), -1);
}

TEST(BlockSplit, OddCountsIgnoreTheLastSampleAndEmptyBlocksDoNothing) {
    const auto music = test::musicLikeSignal(4000, 44100);
    const int16_t kSentinel = 0x5A5A;

    // 2001 samples: 1000 frames, the 2001st input sample unread and its output slot untouched.
    auto odd = std::make_unique<Processor>();
    auto even = std::make_unique<Processor>();
    std::vector<int16_t> oddOut(4000, kSentinel), evenOut(4000, kSentinel);
    auto changedInput = music;
    changedInput[2000] = -12345;
    processBlock(*odd, 2001, changedInput.data(), oddOut.data());
    processBlock(*even, 2000, music.data(), evenOut.data());
    EXPECT_EQ(oddOut[2000], kSentinel);
    EXPECT_EQ(test::firstDifference(oddOut, evenOut), -1);
    // Both continue from frame 1000 identically: the odd sample was not consumed.
    std::vector<int16_t> oddRest(6000), evenRest(6000);
    processBlock(*odd, 6000, music.data() + 2000, oddRest.data());
    processBlock(*even, 6000, music.data() + 2000, evenRest.data());
    EXPECT_EQ(test::firstDifference(oddRest, evenRest), -1);

    // 0, 1 and negative counts write nothing and leave the processor as it was.
    auto idle = std::make_unique<Processor>();
    std::vector<int16_t> untouched(8, kSentinel);
    for (int32_t count : {0, 1, -1, -2, -8192}) processBlock(*idle, count, music.data(), untouched.data());
    EXPECT_EQ(test::firstDifference(untouched, std::vector<int16_t>(8, kSentinel)), -1);
    EXPECT_EQ(idle->params.inputPeakL, 0.0);
    EXPECT_EQ(idle->params.outputPeakL, 0.0);
    auto fresh = std::make_unique<Processor>();
    EXPECT_EQ(test::firstDifference(process(*idle, music), process(*fresh, music)), -1);
}

}  // namespace
}  // namespace loudara

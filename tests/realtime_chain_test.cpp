// The chain as an audio callback runs it: the same samples as the chain run in one piece, for
// any period size; parameters handed over between periods taking effect at the next period with
// the filters' state kept; the processed sound and the meters handed to the reader.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "audio/realtime_chain.h"
#include "processor/parameter_names.h"

namespace loudara {
namespace {

constexpr int kRate = 48000;

std::unique_ptr<Processor> preparedProcessor() {
    auto p = std::make_unique<Processor>();
    prepare(*p, kRate);
    return p;
}

// Stereo 16-bit music-like sound, as the floats of JACK ports (exact 16-bit values).
struct Ports {
    std::vector<float> left, right;
};
Ports tones(int frames) {
    Ports x{std::vector<float>(frames), std::vector<float>(frames)};
    for (int n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / kRate;
        x.left[n] = std::lround(9000 * std::sin(2 * M_PI * 73 * t) + 2500 * std::sin(2 * M_PI * 3100 * t)) / 32768.0f;
        x.right[n] = std::lround(7000 * std::sin(2 * M_PI * 131 * t + 1)) / 32768.0f;
    }
    return x;
}

// The chain in one piece over the same input, left channel, as 16-bit values.
std::vector<int16_t> inOnePiece(Processor& p, const Ports& x) {
    const std::size_t frames = x.left.size();
    std::vector<int16_t> in(2 * frames), out(2 * frames);
    for (std::size_t n = 0; n < frames; ++n) {
        in[2 * n] = static_cast<int16_t>(std::lrintf(x.left[n] * 32768.0f));
        in[2 * n + 1] = static_cast<int16_t>(std::lrintf(x.right[n] * 32768.0f));
    }
    processBlock(p, static_cast<int32_t>(in.size()), in.data(), out.data());
    std::vector<int16_t> left(frames);
    for (std::size_t n = 0; n < frames; ++n) left[n] = out[2 * n];
    return left;
}

// Runs the chain over `x` in periods of `period` frames; before period k, `between(k)` may change
// the program's parameters and publish them. Left channel as 16-bit values.
template <class Between>
std::vector<int16_t> inPeriods(RealtimeChain& chain, const Ports& x, int period, Between between) {
    const int frames = static_cast<int>(x.left.size());
    std::vector<float> outL(frames), outR(frames);
    for (int start = 0, k = 0; start < frames; start += period, ++k) {
        between(k);
        const int n = std::min(period, frames - start);
        chain.process(x.left.data() + start, x.right.data() + start, outL.data() + start, outR.data() + start,
                      static_cast<uint32_t>(n));
    }
    std::vector<int16_t> left(frames);
    for (int n = 0; n < frames; ++n) left[n] = static_cast<int16_t>(std::lrintf(outL[n] * 32768.0f));
    return left;
}

TEST(RealtimeChain, AnyPeriodSizeGivesTheSamplesOfTheChainInOnePiece) {
    const Ports x = tones(kRate / 2);
    auto reference = preparedProcessor();
    const std::vector<int16_t> expected = inOnePiece(*reference, x);
    for (const int period : {64, 256, 1000, 1024, 4096}) {
        auto program = preparedProcessor();
        RealtimeChain chain(*program);
        EXPECT_EQ(inPeriods(chain, x, period, [](int) {}), expected) << "period " << period;
        EXPECT_EQ(chain.framesProcessed(), x.left.size());
    }
}

TEST(RealtimeChain, PublishedParametersTakeEffectAtTheNextPeriodKeepingTheFiltersState) {
    const Ports x = tones(kRate / 2);
    constexpr int kPeriod = 256, kChangeAt = 40;
    // The reference: the same change made by hand at the same frame, retuning the filters.
    auto reference = preparedProcessor();
    std::vector<int16_t> expected;
    {
        Ports first{std::vector<float>(x.left.begin(), x.left.begin() + kChangeAt * kPeriod),
                    std::vector<float>(x.right.begin(), x.right.begin() + kChangeAt * kPeriod)};
        Ports rest{std::vector<float>(x.left.begin() + kChangeAt * kPeriod, x.left.end()),
                   std::vector<float>(x.right.begin() + kChangeAt * kPeriod, x.right.end())};
        expected = inOnePiece(*reference, first);
        reference->settings.bassEqGainDb = 10;
        retuneBassEq(*reference);
        reference->params.bandAttackTime = 2;
        reference->params.bandReleaseTime = 2;  // the bands' look-ahead moves as well
        retuneEnvelopeTimes(*reference);
        reference->bands[3].driveDb = 20;
        const std::vector<int16_t> after = inOnePiece(*reference, rest);
        expected.insert(expected.end(), after.begin(), after.end());
    }

    auto program = preparedProcessor();
    RealtimeChain chain(*program);
    EXPECT_FALSE(chain.publish(*program)) << "nothing changed";
    const std::vector<int16_t> got = inPeriods(chain, x, kPeriod, [&](int k) {
        if (k != kChangeAt) return;
        // The window's knobs turn the program's processor, which never runs the sound here.
        program->settings.bassEqGainDb = 10;
        program->params.bandAttackTime = 2;
        program->params.bandReleaseTime = 2;
        program->bands[3].driveDb = 20;
        program->params.inputPeakL = 12345;  // a meter: not a parameter
        EXPECT_TRUE(chain.publish(*program));
        EXPECT_FALSE(chain.publish(*program));
    });
    EXPECT_EQ(got, expected);
    EXPECT_EQ(chain.parameterChanges(), 1u);
    EXPECT_EQ(chain.processor().bands[3].driveDb, 20);
    EXPECT_EQ(chain.processor().bands[3].lookAheadLength, 440);
}

TEST(RealtimeChain, TheReaderGetsTheProcessedSoundAndTheMetersOfEveryPeriod) {
    Ports x = tones(8192);
    x.left[5000] = 30000 / 32768.0f;  // a peak the input meter must show
    auto program = preparedProcessor();
    RealtimeChain chain(*program);
    std::vector<float> outL(8192), outR(8192);
    for (int start = 0; start < 8192; start += 512) {
        chain.process(x.left.data() + start, x.right.data() + start, outL.data() + start, outR.data() + start, 512);
    }
    std::vector<int16_t> drained(2 * 8192);
    ASSERT_EQ(chain.drain(drained.data(), 8192), 8192u);
    for (int n = 0; n < 8192; ++n) {
        ASSERT_EQ(drained[2 * n], std::lrintf(outL[n] * 32768.0f)) << n;
        ASSERT_EQ(drained[2 * n + 1], std::lrintf(outR[n] * 32768.0f)) << n;
    }
    EXPECT_EQ(chain.drain(drained.data(), 8192), 0u);

    ASSERT_TRUE(chain.takeMeters(*program));
    EXPECT_GT(program->params.inputPeakL, 25000);  // the peak after the input stage
    EXPECT_GT(program->params.outputPeakL, 1000);
    EXPECT_FALSE(chain.takeMeters(*program)) << "no period since";

    // A reader that does not come: the sound still goes out, the measurement's loss is counted.
    std::vector<float> silence(4096, 0.0f), out(4096);
    for (std::size_t done = 0; done < RealtimeChain::kRingFrames + 4096; done += 4096) {
        chain.process(silence.data(), silence.data(), out.data(), out.data(), 4096);
    }
    EXPECT_EQ(chain.framesWaiting(), RealtimeChain::kRingFrames);
    EXPECT_EQ(chain.framesDropped(), 4096u);
    EXPECT_TRUE(chain.takeMeters(*program)) << "meters of periods the ring had no room for are folded, not lost";
}

TEST(RealtimeChain, LatestValueGivesTheReaderTheNewestAndOnlyOnce) {
    LatestValue<int> v;
    EXPECT_EQ(v.take(), nullptr);
    v.publish(1);
    v.publish(2);
    v.publish(3);
    const int* got = v.take();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, 3);
    EXPECT_EQ(v.take(), nullptr);
    v.publish(4);
    got = v.take();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, 4);
}

// A song chain run in periods of `period` frames until `frames` frames came out, fed block by
// block as the streaming feeds it (`feed(chain)` before each period). Left channel, 16-bit.
template <class Feed>
std::vector<int16_t> songInPeriods(RealtimeChain& chain, int frames, int period, Feed feed) {
    std::vector<float> outL(frames), outR(frames);
    for (int start = 0; start < frames; start += period) {
        feed(chain);
        const int n = std::min(period, frames - start);
        chain.process(nullptr, nullptr, outL.data() + start, outR.data() + start, static_cast<uint32_t>(n));
    }
    std::vector<int16_t> left(frames);
    for (int n = 0; n < frames; ++n) left[n] = static_cast<int16_t>(std::lrintf(outL[n] * 32768.0f));
    return left;
}

TEST(RealtimeChain, ASongFedAheadIsTheChainInOnePieceWithItsEndRunOutThenSilence) {
    const Ports x = tones(kRate / 2);
    const int frames = static_cast<int>(x.left.size());
    auto program = preparedProcessor();
    const int latency = chainLatencyFrames(*program);
    // The reference: the song and its delay in silence, in one piece.
    Ports padded = x;
    padded.left.resize(frames + latency, 0.0f);
    padded.right.resize(frames + latency, 0.0f);
    auto reference = preparedProcessor();
    std::vector<int16_t> expected = inOnePiece(*reference, padded);
    expected.resize(frames + latency + 3000, 0);  // then silence
    std::vector<int16_t> song(2 * frames);
    for (int n = 0; n < frames; ++n) {
        song[2 * n] = static_cast<int16_t>(std::lrintf(x.left[n] * 32768.0f));
        song[2 * n + 1] = static_cast<int16_t>(std::lrintf(x.right[n] * 32768.0f));
    }
    for (const int period : {64, 1000, 4096}) {
        RealtimeChain chain(*program, nullptr, kRate, RealtimeChain::Source::Song16);
        int fed = 0;
        auto feed = [&](RealtimeChain& c) {
            // A block of 4096 frames whenever the ring has less than two waiting.
            while (fed < frames && c.songFramesWaiting() < 8192) {
                fed += static_cast<int>(c.feedSong(song.data() + 2 * fed, std::min(4096, frames - fed)));
            }
            if (fed == frames) c.endSong(static_cast<uint32_t>(latency));
        };
        EXPECT_EQ(songInPeriods(chain, static_cast<int>(expected.size()), period, feed), expected) << "period " << period;
        EXPECT_EQ(chain.underflows(), 0u) << "the end is no underflow";
        EXPECT_EQ(chain.framesProcessed(), static_cast<uint64_t>(frames + latency)) << "nothing after the end's delay";
        std::vector<int16_t> drained(2 * (frames + latency));
        EXPECT_EQ(chain.drain(drained.data(), drained.size() / 2), static_cast<std::size_t>(frames + latency));
    }
}

TEST(RealtimeChain, ASongRingRunDryPlaysSilenceCountsItAndGoesOnWhereTheSongStopped) {
    auto program = preparedProcessor();
    const Ports x = tones(6000);
    std::vector<int16_t> song(2 * 6000);
    for (int n = 0; n < 6000; ++n) song[2 * n] = song[2 * n + 1] = static_cast<int16_t>(std::lrintf(x.left[n] * 32768.0f));
    RealtimeChain chain(*program, nullptr, kRate, RealtimeChain::Source::Song16);
    ASSERT_EQ(chain.feedSong(song.data(), 3000), 3000u);
    std::vector<float> outL(4000), outR(4000);
    chain.process(nullptr, nullptr, outL.data(), outR.data(), 4000);
    EXPECT_EQ(chain.underflows(), 1u);
    EXPECT_EQ(chain.framesProcessed(), 3000u);
    for (int n = 3000; n < 4000; ++n) ASSERT_EQ(outL[n], 0.0f) << n;
    chain.process(nullptr, nullptr, outL.data(), outR.data(), 256);
    EXPECT_EQ(chain.underflows(), 2u) << "every dry period counts";
    // The song goes on where it stopped: the chain has seen its frames and nothing between.
    ASSERT_EQ(chain.feedSong(song.data() + 6000, 3000), 3000u);
    chain.process(nullptr, nullptr, outL.data(), outR.data(), 3000);
    EXPECT_EQ(chain.framesProcessed(), 6000u);
    auto reference = preparedProcessor();
    Ports same = x;
    same.right = x.left;
    const std::vector<int16_t> whole = inOnePiece(*reference, same);
    for (int n = 0; n < 3000; ++n) ASSERT_EQ(std::lrintf(outL[n] * 32768.0f), whole[3000 + n]) << n;
    // Fed nothing more than a full ring takes.
    std::vector<int16_t> lots(2 * RealtimeChain::kSongRingFrames, 0);
    EXPECT_EQ(chain.feedSong(lots.data(), lots.size() / 2), RealtimeChain::kSongRingFrames);
    EXPECT_EQ(chain.feedSong(lots.data(), 10), 0u);
}

TEST(RealtimeChain, AFloatSongIsTheFloatEntryRoundedAsTheBlockPathRoundsIt) {
    const int frames = 5000;
    std::vector<float> song(2 * frames);
    for (int n = 0; n < frames; ++n) {
        song[2 * n] = static_cast<float>(0.4 * std::sin(2 * M_PI * 440.0 * n / kRate) + 1e-5 * n / frames);
        song[2 * n + 1] = static_cast<float>(0.3 * std::sin(2 * M_PI * 97.0 * n / kRate));
    }
    auto program = preparedProcessor();
    auto reference = preparedProcessor();
    std::vector<float> processed = song;
    processBlockFloat(*reference, static_cast<int32_t>(processed.size()), processed.data(), processed.data());
    RealtimeChain chain(*program, nullptr, kRate, RealtimeChain::Source::SongFloat);
    ASSERT_EQ(chain.feedSong(song.data(), frames), static_cast<std::size_t>(frames));
    std::vector<float> outL(frames), outR(frames);
    for (int start = 0; start < frames; start += 128) {
        chain.process(nullptr, nullptr, outL.data() + start, outR.data() + start, std::min(128, frames - start));
    }
    for (int n = 0; n < frames; ++n) {
        // Truncated toward zero to 16 bits, as the block path hands a float song to the device.
        const auto truncated = static_cast<int32_t>(static_cast<double>(processed[2 * n]) * 32768.0);
        ASSERT_EQ(std::lrintf(outL[n] * 32768.0f), std::clamp(truncated, -32768, 32767)) << n;
    }
}

}  // namespace
}  // namespace loudara

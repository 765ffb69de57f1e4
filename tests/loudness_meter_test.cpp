#include "measure/loudness_meter.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <numbers>
#include <string>
#include <type_traits>
#include <vector>

#include "measure.h"

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

// libebur128 is the reference: fed the same frames in the same pieces, read after each piece.
struct Readings {
    std::vector<double> momentary, shortTerm;
    double integrated = 0, range = 0;
};

template <class Sample>
Readings libraryReadings(const std::vector<Sample>& x, unsigned rate, unsigned channels, const std::vector<std::size_t>& pieces) {
    ebur128_state* state = ebur128_init(channels, rate, EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA);
    if (channels == 1) ebur128_set_channel(state, 0, EBUR128_DUAL_MONO);
    Readings r;
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        if constexpr (std::is_same_v<Sample, float>) {
            ebur128_add_frames_float(state, x.data() + at * channels, piece);
        } else {
            ebur128_add_frames_short(state, x.data() + at * channels, piece);
        }
        at += piece;
        double m = 0, st = 0;
        ebur128_loudness_momentary(state, &m);
        ebur128_loudness_shortterm(state, &st);
        r.momentary.push_back(at >= rate * 4 / 10 ? m : -HUGE_VAL);
        r.shortTerm.push_back(at >= rate * 3 ? st : -HUGE_VAL);
    }
    ebur128_loudness_global(state, &r.integrated);
    ebur128_loudness_range(state, &r.range);
    ebur128_destroy(&state);
    return r;
}

template <class Sample>
Readings ownReadings(LoudnessMeter& meter, const std::vector<Sample>& x, const std::vector<std::size_t>& pieces) {
    Readings r;
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        meter.addFrames(x.data() + at * meter.channels(), piece);
        at += piece;
        r.momentary.push_back(meter.momentaryLufs());
        r.shortTerm.push_back(meter.shortTermLufs());
    }
    r.integrated = meter.integratedLufs();
    r.range = meter.loudnessRangeLu();
    return r;
}

// 100 ms pieces, or pieces of odd sizes that read the meters between the steps.
std::vector<std::size_t> piecesOf(std::size_t frames, std::size_t step, bool odd) {
    std::vector<std::size_t> pieces;
    for (std::size_t at = 0, n = 1; at < frames; at += pieces.back(), n = n * 7 % 3001 + 1) {
        pieces.push_back(std::min(odd ? n : step, frames - at));
    }
    return pieces;
}

// Windows the reference reads below -100 LUFS (the filters' decay into silence) may read as
// anything that low, or as none.
void expectSameReadings(const std::vector<double>& own, const std::vector<double>& library, const std::string& what) {
    ASSERT_EQ(own.size(), library.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (library[i] > -100.0) {
            ASSERT_NEAR(own[i], library[i], 0.05) << what << " reading " << i;
        } else {
            ASSERT_LT(own[i], -90.0) << what << " reading " << i;
        }
    }
}

template <class Sample>
void expectLikeTheLibrary(const std::vector<Sample>& x, unsigned rate, unsigned channels, const std::string& what,
                          bool odd = false, LoudnessMeter::History history = LoudnessMeter::History::Exact) {
    const auto pieces = piecesOf(x.size() / channels, (rate + 5) / 10, odd);
    const Readings library = libraryReadings(x, rate, channels, pieces);
    LoudnessMeter meter(rate, channels, history, LoudnessMeter::Peaks::SampleOnly);
    const Readings own = ownReadings(meter, x, pieces);
    expectSameReadings(own.momentary, library.momentary, what + " momentary");
    expectSameReadings(own.shortTerm, library.shortTerm, what + " short-term");
    if (std::isfinite(library.integrated)) {
        EXPECT_NEAR(own.integrated, library.integrated, 0.05) << what;
    } else {
        EXPECT_FALSE(hasValue(own.integrated)) << what;
    }
    if (x.size() / channels >= rate * 3) {
        EXPECT_NEAR(own.range, library.range, 0.1) << what;
    }
    // The maxima are those of the windows that end on the 100 ms steps.
    if (!odd) {
        double maxM = -HUGE_VAL, maxS = -HUGE_VAL;
        for (double m : library.momentary) maxM = std::max(maxM, m);
        for (double st : library.shortTerm) maxS = std::max(maxS, st);
        if (maxM > -100.0) {
            EXPECT_NEAR(meter.maxMomentaryLufs(), maxM, 0.05) << what;
        }
        if (maxS > -100.0) {
            EXPECT_NEAR(meter.maxShortTermLufs(), maxS, 0.05) << what;
        }
    }
}

// Sines from the high-pass's corner to near the Nyquist frequency weigh as in the library at every
// rate (the K-weighting's two stages are designed for each rate).
TEST(LoudnessMeter, SinesAtEveryRateReadAsTheLibraryReads) {
    for (unsigned rate : {32000u, 44100u, 48000u, 96000u}) {
        for (double hz : {25.0, 100.0, 997.0, 3000.0, 8000.0, 14000.0}) {
            const auto x = sine(rate, 2, 4.0, hz, -12.0);
            expectLikeTheLibrary(x, rate, 2, std::to_string(rate) + " Hz, sine at " + std::to_string(hz));
        }
    }
}

// Pink-ish noise (white noise through three one-pole low-passes, roughly -3 dB an octave over the
// audio band), independent channels, as floats; music-like sound as 16-bit stereo, and its left
// channel alone (dual mono), read between the steps as well as on them.
TEST(LoudnessMeter, NoiseAndMusicReadAsTheLibraryReads) {
    for (unsigned rate : {44100u, 48000u}) {
        const auto white = test::whiteNoise(static_cast<int>(rate) * 8, 29000.0);
        std::vector<float> pink(white.size());
        double lows[2][3] = {};
        const double poles[3] = {0.997, 0.96, 0.6}, gains[3] = {0.5, 0.3, 0.2};
        for (std::size_t i = 0; i < white.size(); ++i) {
            const double w = white[i] / 32768.0;
            double sum = 0.1 * w;
            for (int k = 0; k < 3; ++k) {
                double& low = lows[i % 2][k];
                low = poles[k] * low + (1.0 - poles[k]) * w;
                sum += gains[k] * low;
            }
            pink[i] = static_cast<float>(sum);
        }
        expectLikeTheLibrary(pink, rate, 2, "pink noise at " + std::to_string(rate));

        const auto music = test::musicLikeSignal(static_cast<int>(rate) * 12, rate, 24000.0, rate);
        expectLikeTheLibrary(music, rate, 2, "music at " + std::to_string(rate));
        expectLikeTheLibrary(music, rate, 2, "music in odd pieces at " + std::to_string(rate), true);
        std::vector<std::int16_t> left(music.size() / 2);
        for (std::size_t i = 0; i < left.size(); ++i) left[i] = music[2 * i];
        expectLikeTheLibrary(left, rate, 1, "mono music at " + std::to_string(rate));
        expectLikeTheLibrary(left, rate, 1, "mono music in odd pieces at " + std::to_string(rate), true);
    }
}

// Loud and quiet passages, silences and a stretch under the absolute gate: both gates leave out
// what the library leaves out, kept block by block or in the bounded histogram.
TEST(LoudnessMeter, GatedMaterialReadsAsTheLibraryReadsEitherHistory) {
    const unsigned rate = 48000;
    std::vector<std::int16_t> x;
    std::uint32_t seed = 11;
    for (const auto& [levelDb, seconds] : std::initializer_list<std::pair<double, double>>{
             {-14, 6}, {-40, 5}, {-200, 3}, {-24, 7}, {-75, 4}, {-18, 5}, {-32, 6}, {-200, 2}, {-10, 3}, {-28, 8}}) {
        const auto part = levelDb < -150 ? std::vector<std::int16_t>(static_cast<std::size_t>(rate * seconds) * 2, 0)
                                         : test::musicLikeSignal(static_cast<int>(rate * seconds), rate,
                                                                 32767.0 * std::pow(10.0, levelDb / 20.0), ++seed);
        x.insert(x.end(), part.begin(), part.end());
    }
    expectLikeTheLibrary(x, rate, 2, "exact");
    expectLikeTheLibrary(x, rate, 2, "bounded", false, LoudnessMeter::History::Bounded);
}

// A reset meter reads as a fresh one; a meter refuses rates its filters cannot be built for.
TEST(LoudnessMeter, ResetEqualsFreshAndImpossibleRatesAreRefused) {
    const auto music = test::musicLikeSignal(44100 * 5, 44100.0);
    const auto quiet = sine(44100, 2, 4.0, 440.0, -40.0);
    LoudnessMeter used(44100, 2, LoudnessMeter::History::Bounded), fresh(44100, 2, LoudnessMeter::History::Bounded);
    used.addFrames(music.data(), music.size() / 2 - 123);
    used.reset();
    used.addFrames(quiet.data(), quiet.size() / 2);
    fresh.addFrames(quiet.data(), quiet.size() / 2);
    EXPECT_EQ(used.integratedLufs(), fresh.integratedLufs());
    EXPECT_EQ(used.momentaryLufs(), fresh.momentaryLufs());
    EXPECT_EQ(used.maxShortTermLufs(), fresh.maxShortTermLufs());
    EXPECT_EQ(used.loudnessRangeLu(), fresh.loudnessRangeLu());
    EXPECT_EQ(used.truePeakDbtp(), fresh.truePeakDbtp());
    EXPECT_EQ(used.frames(), fresh.frames());
    EXPECT_THROW(LoudnessMeter(0, 2), std::runtime_error);
    EXPECT_THROW(LoudnessMeter(1000, 2), std::runtime_error);
    EXPECT_THROW(LoudnessMeter(44100, 3), std::runtime_error);
}

}  // namespace
}  // namespace loudara

// A knob turned while sound runs: the filters it retunes either restart from silence (install,
// as a stream start does) or keep their state (retune). The first puts a click on the output,
// the second must not. A click is measured as the largest second difference of the output
// (y[n] - 2 y[n-1] + y[n-2]), which stays small for music-like low-frequency sound and jumps at
// a step; it is compared with the same figure of the same run before the turn.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "measure.h"
#include "processor/band_dynamics.h"
#include "processor/processor.h"

// (The band stages' 8-lane frames pass between inline functions only: see oversampled_clipper.h.)
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {
namespace {

constexpr int kRate = 48000;
constexpr int kBlockFrames = 256;

// Bass at a moderate level, 55 Hz and 82 Hz: smooth enough that a step stands out.
int16_t sampleAt(long n, int channel) {
    const double t = static_cast<double>(n) / kRate;
    const double phase = channel == 0 ? 0.0 : 0.3;
    const double x = 4000.0 * std::sin(2 * M_PI * 55.0 * t + phase) + 3000.0 * std::sin(2 * M_PI * 82.0 * t);
    return static_cast<int16_t>(std::lround(x));
}

struct ClickFigures {
    double before = 0;  // largest second difference in the second before the turn
    double after = 0;   // the same in the half second after it reaches the output
};

using Setting = std::function<void(Processor&)>;

// A knob turn `afterFrames` after the first (at the start of the period that holds that frame).
struct TimedTurn {
    long afterFrames;
    Setting turn;
};

// Runs 3 s of sound in periods (after `setup`, before the stream's start), turns the knobs at 3 s
// and after, runs 1 s more.
ClickFigures runWithTurns(const Setting& setup, const std::vector<TimedTurn>& turns) {
    auto p = std::make_unique<Processor>();
    if (setup) setup(*p);
    prepare(*p, kRate);
    const long turnAt = 3L * kRate / kBlockFrames * kBlockFrames;  // at a period's start
    const long total = 4L * kRate;
    std::vector<int16_t> in(2 * kBlockFrames), out(2 * kBlockFrames);
    std::vector<double> left;
    left.reserve(total);
    for (long start = 0; start < total; start += kBlockFrames) {
        for (const TimedTurn& t : turns) {
            const long at = turnAt + t.afterFrames;
            if (start <= at && at < start + kBlockFrames) t.turn(*p);
        }
        for (int i = 0; i < kBlockFrames; ++i) {
            in[2 * i] = sampleAt(start + i, 0);
            in[2 * i + 1] = sampleAt(start + i, 1);
        }
        processBlock(*p, 2 * kBlockFrames, in.data(), out.data());
        for (int i = 0; i < kBlockFrames; ++i) left.push_back(out[2 * i]);
    }
    auto largestBend = [&](long from, long to) {
        double most = 0;
        for (long n = std::max(2L, from); n < to; ++n) most = std::max(most, std::abs(left[n] - 2 * left[n - 1] + left[n - 2]));
        return most;
    };
    ClickFigures f;
    f.before = largestBend(turnAt - kRate, turnAt);
    f.after = largestBend(turnAt, turnAt + kRate / 2);
    return f;
}

ClickFigures runWithTurn(const Setting& turn) { return runWithTurns(nullptr, {{0, turn}}); }

// The release time as the stream's start installs it, and turned while the stream runs.
Setting releaseInstalled(double time) {
    return [time](Processor& p) {
        p.params.bandReleaseTime = time;
        selectEnvelopeTimes(p);
    };
}
Setting releaseTurned(double time) {
    return [time](Processor& p) {
        p.params.bandReleaseTime = time;
        retuneEnvelopeTimes(p);
    };
}

struct Turn {
    const char* name;
    std::function<void(Processor&)> asStarted;  // the tables installed as a stream start does
    std::function<void(Processor&)> whileRunning;
};

const Turn kTurns[] = {
    {"bass EQ gain 6 -> 9 dB",
     [](Processor& p) {
         p.settings.bassEqGainDb = 9;
         designBassEq(p);
     },
     [](Processor& p) {
         p.settings.bassEqGainDb = 9;
         retuneBassEq(p);
     }},
    {"attack time 4 -> 2",
     [](Processor& p) {
         p.params.bandAttackTime = 2;
         selectEnvelopeTimes(p);
     },
     [](Processor& p) {
         p.params.bandAttackTime = 2;
         retuneEnvelopeTimes(p);
     }},
    {"final low-pass 15k -> 12k",
     [](Processor& p) {
         p.settings.finalLowpass = 2;
         selectFinalLowpass(p);
     },
     [](Processor& p) {
         p.settings.finalLowpass = 2;
         retuneFinalLowpass(p);
     }},
    // The release time also sets the bands' look-ahead (880 -> 440 samples); a retune moves it
    // gradually.
    {"release time 1 -> 2", releaseInstalled(2), releaseTurned(2)},
};

TEST(Retune, KnobTurnWhileRunningDoesNotClickWhereRestartingTheFiltersDoes) {
    const ClickFigures none = runWithTurn([](Processor&) {});
    ASSERT_GT(none.before, 0.0);
    // The undisturbed run bends no more after the turn's moment than before it.
    EXPECT_LE(none.after, 1.25 * none.before);
    for (const Turn& t : kTurns) {
        const ClickFigures restarted = runWithTurn(t.asStarted);
        const ClickFigures kept = runWithTurn(t.whileRunning);
        std::printf("%-26s bend before %6.1f  filters restarted %7.1f (x%.1f)  retuned %7.1f (x%.1f)\n", t.name,
                    kept.before, restarted.after, restarted.after / restarted.before, kept.after, kept.after / kept.before);
        EXPECT_LE(kept.after, 1.25 * kept.before) << t.name;
    }
    // Restarting the bass EQ and the final low-pass from silence is the click: far above the music.
    EXPECT_GT(runWithTurn(kTurns[0].asStarted).after, 20 * none.before);
    EXPECT_GT(runWithTurn(kTurns[2].asStarted).after, 20 * none.before);
}

TEST(Retune, ReleaseTurnsMoveTheLookAheadWithoutAClick) {
    struct ReleaseTurn {
        const char* name;
        double from;
        std::vector<TimedTurn> turns;
        bool oversampledClipping = false;  // the top bands' clippers then run at four times the rate
    };
    // 880, 440, 220 and 110 frames of look-ahead for release times 1 to 4; the quick turns come
    // while the first one's shift runs (it takes up to about 50 ms).
    const ReleaseTurn cases[] = {
        {"release 1 -> 2", 1, {{0, releaseTurned(2)}}},
        {"release 2 -> 1", 2, {{0, releaseTurned(1)}}},
        {"release 1 -> 4", 1, {{0, releaseTurned(4)}}},
        {"release 4 -> 1", 4, {{0, releaseTurned(1)}}},
        {"release 1 -> 2 -> 4 -> 1 quickly",
         1,
         {{0, releaseTurned(2)}, {600, releaseTurned(4)}, {1400, releaseTurned(1)}}},
        {"release 4 -> 3 -> 1 quickly", 4, {{0, releaseTurned(3)}, {300, releaseTurned(1)}}},
        {"release 1 -> 4, oversampled clipping", 1, {{0, releaseTurned(4)}}, true},
        {"release 4 -> 1, oversampled clipping", 4, {{0, releaseTurned(1)}}, true},
    };
    for (const ReleaseTurn& c : cases) {
        const Setting installed = releaseInstalled(c.from);
        const Setting setup = [&](Processor& p) {
            installed(p);
            p.settings.oversampledClipping = c.oversampledClipping ? 1 : 0;
        };
        const ClickFigures kept = runWithTurns(setup, c.turns);
        ASSERT_GT(kept.before, 0.0);
        std::printf("%-38s bend before %6.1f  retuned %7.1f (x%.2f)\n", c.name, kept.before, kept.after,
                    kept.after / kept.before);
        EXPECT_LE(kept.after, 1.25 * kept.before) << c.name;
    }
}

// Band 1's output stage passes its input unchanged, so its path is a pure delay with a gain: an
// impulse at frame t leaves at t + 898, scaled by the gain of the frame that met it, t + L - 1
// with a look-ahead of L. Each frame's gain is told apart by its value.
TEST(Retune, BandPathKeepsItsDelayWhileTheLookAheadMoves) {
    auto p = std::make_unique<Processor>();
    prepare(*p, kRate);
    BlockValues v{};
    v.normalizeGain = 1.0;
    for (BandDerived& d : v.band) {
        d.outputFactor = 1.0;
        d.clipLevel = 1e9;
    }
    for (BandSettings& band : p->bands) band.gateGain = 1.0;
    auto gainOf = [](long frame) { return 1.0 - 1e-6 * static_cast<double>(frame); };

    constexpr long kTurnSpacing = 160 * 64;  // turns come at a block's start
    constexpr long kSettled = 7000;  // the longest run of quick shifts below ends sooner
    constexpr long kImpulseSpacing = 97;
    // Release times set at these frames; the quick turns (1 -> 2 -> 4 -> 1 and 4 -> 2) come
    // while a shift runs, the last is an install (as a preset load does) in the middle of one.
    struct Event {
        long frame;
        double release;
        bool install;
    };
    const Event events[] = {
        {1 * kTurnSpacing, 2, false},       {2 * kTurnSpacing, 1, false},       {3 * kTurnSpacing, 4, false},
        {4 * kTurnSpacing, 1, false},       {5 * kTurnSpacing, 2, false},       {5 * kTurnSpacing + 640, 4, false},
        {5 * kTurnSpacing + 1280, 1, false}, {6 * kTurnSpacing, 4, false},      {6 * kTurnSpacing + 320, 2, false},
        {7 * kTurnSpacing, 1, false},       {7 * kTurnSpacing + 576, 3, true},
    };
    const int lookAhead[] = {0, 880, 440, 220, 110};
    const long total = 8 * kTurnSpacing;

    std::vector<double> out(total);
    for (long start = 0; start < total; start += 64) {
        for (const Event& e : events) {
            if (e.frame != start) continue;
            p->params.bandReleaseTime = e.release;
            e.install ? selectEnvelopeTimes(*p) : retuneEnvelopeTimes(*p);
        }
        const bool shifting = lookAheadShifting(*p);  // as a run's start takes it
        for (long n = start; n < start + 64; ++n) {
            const Pair x = n % kImpulseSpacing == 0 ? pairOf(1.0, 1.0) : Pair{};
            for (int b = 0; b < kBandCount; ++b) {
                if (shifting) {
                    bandOutput(*p, b, v, x, gainOf(n), std::true_type{});
                } else {
                    bandOutput(*p, b, v, x, gainOf(n), std::false_type{});
                }
            }
            out[n] = p->bands[1].outputL;
            ASSERT_EQ(p->bands[1].outputL, p->bands[1].outputR);
        }
    }
    EXPECT_FALSE(lookAheadShifting(*p));
    EXPECT_EQ(p->bands[1].lookAheadLength, lookAhead[3]);

    // Every impulse leaves 898 frames later, with a gain of a frame within the two look-aheads,
    // and nothing else leaves at all; except for a lap of the lines after the install, which
    // reads them at its new lengths at once (a splice, as any install mid-stream).
    long checkedSettled = 0;
    const long installed = events[std::size(events) - 1].frame;
    for (long n = 0; n < total; ++n) {
        if (n >= installed && n < installed + kLookAheadCapacity) continue;
        const long t = n - kBandDelaySamples;
        if (t < 0 || t % kImpulseSpacing != 0) {
            ASSERT_EQ(out[n], 0.0) << "frame " << n;
            continue;
        }
        const double metAt = (1.0 - out[n]) / 1e-6;  // the frame whose gain met the impulse
        const double ahead = metAt - static_cast<double>(t);
        ASSERT_GE(ahead, 109.0 - 1e-6) << "impulse at " << t;
        ASSERT_LE(ahead, 879.0 + 1e-6) << "impulse at " << t;
        // Away from the events, exactly the frame the settled look-ahead gives.
        long since = -1;
        int length = 880;
        for (const Event& e : events) {
            if (e.frame > t) break;
            since = t - e.frame;
            length = lookAhead[static_cast<int>(e.release)];
        }
        const bool settled = since < 0 ? t + kBandDelaySamples < events[0].frame : since >= kSettled;
        long nextEvent = total;
        for (const Event& e : events) {
            if (e.frame > t) nextEvent = std::min(nextEvent, e.frame);
        }
        if (settled && n < nextEvent) {
            EXPECT_NEAR(ahead, length - 1, 1e-6) << "impulse at " << t;
            ++checkedSettled;
        }
    }
    EXPECT_GT(checkedSettled, 200);
}

// Music up to a stream's end, then the stream-start path (reset, prepare) and the same music
// again: whether a release turn's shift ran at the end makes no difference to the new stream.
TEST(Retune, StreamStartAfterAShiftGivesTheSamplesOfAnInstall) {
    const std::vector<int16_t> music = test::musicLikeSignal(kRate, kRate);
    auto run = [&](bool turned) {
        auto p = std::make_unique<Processor>();
        prepare(*p, kRate);
        std::vector<int16_t> out(music.size());
        processBlock(*p, static_cast<int32_t>(music.size()), music.data(), out.data());
        p->params.bandReleaseTime = 2;
        turned ? retuneEnvelopeTimes(*p) : selectEnvelopeTimes(*p);
        processBlock(*p, 2 * 512, music.data(), out.data());  // the shift has begun, not ended
        EXPECT_EQ(lookAheadShifting(*p), turned);
        reset(*p);
        prepare(*p, kRate);
        processBlock(*p, static_cast<int32_t>(music.size()), music.data(), out.data());
        return out;
    };
    const std::vector<int16_t> installed = run(false), turned = run(true);
    ASSERT_EQ(installed.size(), turned.size());
    long differing = 0;
    for (size_t i = 0; i < installed.size(); ++i) differing += installed[i] != turned[i];
    EXPECT_EQ(differing, 0);
}

TEST(Retune, KeepsTheStateAndTakesTheNewCoefficients) {
    // After a retune the filter continues where it was: the same output as a filter designed with
    // the new coefficients that had been fed the same history.
    auto a = std::make_unique<Processor>();
    prepare(*a, kRate);
    for (int n = 0; n < 1000; ++n) {
        const Pair x = pairOf(sampleAt(n, 0), sampleAt(n, 1));
        step(a->bassEq, x);
    }
    const StereoBiquad before = a->bassEq;
    a->settings.bassEqGainDb = 3;
    retuneBassEq(*a);
    EXPECT_EQ(a->bassEq.x1[0], before.x1[0]);
    EXPECT_EQ(a->bassEq.y2[1], before.y2[1]);
    auto b = std::make_unique<Processor>();
    b->settings.bassEqGainDb = 3;
    b->settings.bassEqSampleRate = kRate;
    designBassEq(*b);
    EXPECT_EQ(a->bassEq.b0[0], b->bassEq.b0[0]);
    EXPECT_EQ(a->bassEq.a2[1], b->bassEq.a2[1]);
}

}  // namespace
}  // namespace loudara

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

#include "processor/processor.h"

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

// Runs 3 s of sound in periods, turns the knob (`turn`) at 3 s, runs 1 s more.
ClickFigures runWithTurn(const std::function<void(Processor&)>& turn) {
    auto p = std::make_unique<Processor>();
    prepare(*p, kRate);
    const long turnAt = 3L * kRate / kBlockFrames * kBlockFrames;  // at a period's start
    const long total = 4L * kRate;
    std::vector<int16_t> in(2 * kBlockFrames), out(2 * kBlockFrames);
    std::vector<double> left;
    left.reserve(total);
    for (long start = 0; start < total; start += kBlockFrames) {
        if (start <= turnAt && turnAt < start + kBlockFrames) turn(*p);
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

struct Turn {
    const char* name;
    std::function<void(Processor&)> asStarted;  // the tables installed as a stream start does
    std::function<void(Processor&)> whileRunning;
    bool smooth;  // whether the turn while running is free of a step
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
     },
     true},
    {"attack time 4 -> 2",
     [](Processor& p) {
         p.params.bandAttackTime = 2;
         selectEnvelopeTimes(p);
     },
     [](Processor& p) {
         p.params.bandAttackTime = 2;
         retuneEnvelopeTimes(p);
     },
     true},
    {"final low-pass 15k -> 12k",
     [](Processor& p) {
         p.settings.finalLowpass = 2;
         selectFinalLowpass(p);
     },
     [](Processor& p) {
         p.settings.finalLowpass = 2;
         retuneFinalLowpass(p);
     },
     true},
    // The release time also sets the bands' look-ahead (880 -> 440 samples): the delay the band
    // path reads from moves at once, a splice in the sound that keeping the filters' state cannot
    // smooth.
    {"release time 1 -> 2",
     [](Processor& p) {
         p.params.bandReleaseTime = 2;
         selectEnvelopeTimes(p);
     },
     [](Processor& p) {
         p.params.bandReleaseTime = 2;
         retuneEnvelopeTimes(p);
     },
     false},
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
        if (t.smooth) {
            EXPECT_LE(kept.after, 1.25 * kept.before) << t.name;
        } else {
            EXPECT_GT(kept.after, 4 * kept.before) << t.name << ": the look-ahead splice is gone; mark it smooth";
        }
    }
    // Restarting the bass EQ and the final low-pass from silence is the click: far above the music.
    EXPECT_GT(runWithTurn(kTurns[0].asStarted).after, 20 * none.before);
    EXPECT_GT(runWithTurn(kTurns[2].asStarted).after, 20 * none.before);
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

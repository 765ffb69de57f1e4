#pragma once
// The two stages that work on the stereo image: the stereo enhancer and the virtual speaker.

#include "chain_helpers.h"
#include "processor.h"

namespace loudara {

inline constexpr int kDiffuserLengths[4][3] = {
    {882, 86, 234},  // first reflection, left
    {782, 58, 262},  // first reflection, right
    {858, 82, 206},  // second reflection, left
    {742, 62, 282},  // second reflection, right
};

// Set at every block start.
inline void setDiffusers(VirtualSpeakerState& v) {
    Diffuser* chains[4] = {v.firstL, v.firstR, v.secondL, v.secondR};
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k) {
            chains[c][k].gain = -0.5;
            chains[c][k].length = kDiffuserLengths[c][k];
        }
    }
}

inline double clampTo(double x, double low, double high) { return x < low ? low : (x > high ? high : x); }

// Stereo enhancer: a scaled, delayed and low-passed copy E of the difference L - R. Its
// detectors and delay run on every frame so that switching it on needs no settling; E is added
// to the left and taken from the right only while it is on.
inline Pair stereoEnhancer(Processor& p, const BlockValues& v, Pair x) {
    CoefficientBank& a = p.active;
    const Pair level = step(a.enhancerLevel, pairAbs(x));
    const double lv = clampTo(minOf(level[0], level[1]) * 16.0, 0.0, 32760.0);

    double s = x[0] - x[1];
    switch (v.enhancerMode) {
        case 2: {
            const double g = clampTo(step(a.enhancerDetector, std::fabs(s)) * 8.0, 0.0, 32760.0);
            s = (g / 32767.0) * s;
            break;
        }
        case 3: {
            const double g = clampTo(step(a.enhancerDetector, std::fabs(s)) * 8.0, 0.0, 32760.0);
            s = (g / 32767.0) * s * (g / 32767.0);
            break;
        }
        case 4: {
            const double t = step(a.enhancerTransient, step(a.enhancerDetector, std::fabs(s)));
            const double g = clampTo(t * 16.0, 0.0, 32760.0);
            s = (g / 32767.0) * s * (lv / 32767.0);
            break;
        }
        case 5: {
            const double t = step(a.enhancerTransient, step(a.enhancerDetector, std::fabs(x[0] + x[1])));
            const double g = clampTo(t * 8.0, 0.0, 32760.0);
            s = (g / 32767.0) * s * (lv / 32767.0);
            break;
        }
        default: break;  // mode 1 and out-of-range modes leave the difference unscaled
    }

    const double d = step(p.enhancer.delay, s, v.enhancerDelay) * v.enhancerFactor;
    double e = step(p.work.enhancerPost, d);
    if (v.enhancerOn) {
        x += Pair{e, -e};
    } else {
        e = 0.0;
    }
    p.params.enhancerPeak = maxOf(p.params.enhancerPeak, e);
    return x;
}

// Virtual speaker: each channel gets a delayed, filtered copy of the other (the cross-feed of a
// speaker pair spaced speakerSpacingCm apart) and two diffused, notched pairs of room
// reflections. Speed of sound 34000 cm/s, 340 m/s. It runs in three steps over a run of frames:
// the feeds frame by frame, the four diffuser chains over the whole run, then the reflection
// filters and the mix frame by frame.
struct SpeakerRun {
    Pair cross[kRunFrames];
    // Diffuser chain inputs, then outputs: first reflection left and right, second left and right.
    double reflection[4][kRunFrames];
};

inline void speakerFeeds(Processor& p, const BlockValues& v, Pair x, SpeakerRun& run, int32_t i) {
    VirtualSpeakerState& vs = p.speaker;
    run.cross[i] = step(vs.crossDelay, step(vs.crossLowpass, step(vs.crossShelf, x)), v.speakerCrossDelay);

    const int32_t dr = v.speakerNearDelay;
    const double aL = step(vs.roomNearL, x[0], dr);
    const double aR = step(vs.roomNearR, x[1], dr + 98);
    run.reflection[0][i] = 0.7 * aL + 0.3 * aR;
    run.reflection[1][i] = 0.7 * aR + 0.3 * aL;

    const int32_t df = v.speakerFarDelay;
    const double bL = step(vs.roomFarL, x[0], df);
    const double bR = step(vs.roomFarR, x[1], df + 98);
    run.reflection[2][i] = 0.7 * bL + 0.3 * bR;
    run.reflection[3][i] = 0.7 * bR + 0.3 * bL;
}

inline void speakerDiffusers(VirtualSpeakerState& vs, SpeakerRun& run, int32_t n) {
    Diffuser* chains[4] = {vs.firstL, vs.firstR, vs.secondL, vs.secondR};
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 3; ++k) stepRun(chains[c][k], run.reflection[c], n);
    }
}

// x is the frame's input to the virtual speaker.
inline Pair speakerMix(Processor& p, const SpeakerRun& run, int32_t i, Pair x) {
    VirtualSpeakerState& vs = p.speaker;
    const Pair r1 = step(vs.firstNotch, pairOf(run.reflection[0][i], run.reflection[1][i]));
    const Pair f1 = step(vs.firstFarDelay, step(vs.firstShelfB, step(vs.firstShelfA, r1)), 30);
    const Pair r2 = step(vs.secondNotch, pairOf(run.reflection[2][i], run.reflection[3][i]));
    const Pair f2 = step(vs.secondFarDelay, step(vs.secondShelfB, step(vs.secondShelfA, r2)), 6);

    const Pair reflections = swapped(f1) + r1 + r2 + swapped(f2);
    return reflections * p.settings.reflectionPercent / 100.0 * 0.707 + (swapped(run.cross[i]) + x) * 0.707;
}

}  // namespace loudara

#include "measure/k_weighting.h"

#include <cmath>
#include <initializer_list>
#include <numbers>

namespace loudara {

namespace {

// The analogue prototypes of the two stages.
constexpr double kShelfHz = 1681.974450955533;
constexpr double kShelfGainDb = 3.999843853973347;
constexpr double kShelfQ = 0.7071752369554196;
constexpr double kShelfBandExponent = 0.4996667741545416;
constexpr double kHighPassHz = 38.13547087602444;
constexpr double kHighPassQ = 0.5003270373238773;

}  // namespace

KWeightingDesign designKWeighting(double sampleRate) {
    KWeightingDesign d;
    {
        const double k = std::tan(std::numbers::pi * kShelfHz / sampleRate);
        const double vh = std::pow(10.0, kShelfGainDb / 20.0);
        const double vb = std::pow(vh, kShelfBandExponent);
        const double a0 = 1.0 + k / kShelfQ + k * k;
        d.shelf.b0 = (vh + vb * k / kShelfQ + k * k) / a0;
        d.shelf.b1 = 2.0 * (k * k - vh) / a0;
        d.shelf.b2 = (vh - vb * k / kShelfQ + k * k) / a0;
        d.shelf.a1 = 2.0 * (k * k - 1.0) / a0;
        d.shelf.a2 = (1.0 - k / kShelfQ + k * k) / a0;
    }
    {
        const double k = std::tan(std::numbers::pi * kHighPassHz / sampleRate);
        const double a0 = 1.0 + k / kHighPassQ + k * k;
        d.highPass.b0 = 1.0;
        d.highPass.b1 = -2.0;
        d.highPass.b2 = 1.0;
        d.highPass.a1 = 2.0 * (k * k - 1.0) / a0;
        d.highPass.a2 = (1.0 - k / kHighPassQ + k * k) / a0;
    }
    return d;
}

void KWeighting::reset() {
    for (int i = 0; i < 2; ++i) s1[i] = s2[i] = KLanes{};
}

namespace {

#if defined(__clang__)
#define KWEIGHTING_ENTRY  // the fuzzing build: the default path only
#else
#define KWEIGHTING_ENTRY __attribute__((target_clones("arch=x86-64-v3", "default")))
#endif

inline KLanes lanesOf(const std::int16_t* frame, unsigned channels) {
    constexpr double kScale = 1.0 / 32768.0;
    return channels == 2 ? KLanes{frame[0] * kScale, frame[1] * kScale} : KLanes{frame[0] * kScale, 0.0};
}

inline KLanes lanesOf(const float* frame, unsigned channels) {
    return channels == 2 ? KLanes{frame[0], frame[1]} : KLanes{frame[0], 0.0};
}

// The two stages in series, one frame at a time; each stage's recursion waits only on its own
// state, so the second stage of a frame runs while the first works on the next.
template <class Sample>
inline void filterFrames(KWeighting& f, const Sample* in, std::size_t frames, unsigned channels, float* energies) {
    const KBiquad& p = f.design.shelf;
    const KBiquad& h = f.design.highPass;
    KLanes ps1 = f.s1[0], ps2 = f.s2[0], hs1 = f.s1[1], hs2 = f.s2[1];
    // A mono channel is counted twice; the right lane of a mono feed stays at zero.
    const double weight = channels == 2 ? 1.0 : 2.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const KLanes x = lanesOf(in + i * channels, channels);
        // Each recursion waits on one multiply-add and one addition a frame: the terms that do
        // not depend on this frame's output are summed first.
        const KLanes u = p.b0 * x + ps1;
        ps1 = (p.b1 * x + ps2) - p.a1 * u;
        ps2 = p.b2 * x - p.a2 * u;
        const KLanes y = u + hs1;  // b0 = 1
        hs1 = (hs2 - 2.0 * u) - h.a1 * y;
        hs2 = u - h.a2 * y;
        const KLanes squared = y * y;
        energies[i] = static_cast<float>(weight * (squared[0] + squared[1]));
    }
    // After a long silence the states decay towards the denormal range, where every operation
    // costs a hundred times more; anything this small weighs nothing in any loudness. A state
    // that is no number (a damaged float file) would stay so for ever: it starts again from rest.
    for (KLanes* s : {&ps1, &ps2, &hs1, &hs2}) {
        for (int lane = 0; lane < 2; ++lane) {
            const double v = (*s)[lane];
            if (!(std::fabs(v) >= 1e-30 && std::isfinite(v))) (*s)[lane] = 0.0;
        }
    }
    f.s1[0] = ps1;
    f.s2[0] = ps2;
    f.s1[1] = hs1;
    f.s2[1] = hs2;
}

KWEIGHTING_ENTRY void filterShort(KWeighting& f, const std::int16_t* in, std::size_t frames, unsigned channels,
                                  float* energies) {
    if (channels == 2) {
        filterFrames(f, in, frames, 2, energies);
    } else {
        filterFrames(f, in, frames, 1, energies);
    }
}

KWEIGHTING_ENTRY void filterFloat(KWeighting& f, const float* in, std::size_t frames, unsigned channels,
                                  float* energies) {
    if (channels == 2) {
        filterFrames(f, in, frames, 2, energies);
    } else {
        filterFrames(f, in, frames, 1, energies);
    }
}

}  // namespace

void kWeightedEnergies(KWeighting& filter, const std::int16_t* interleaved, std::size_t frames, unsigned channels,
                       float* energies) {
    filterShort(filter, interleaved, frames, channels, energies);
}

void kWeightedEnergies(KWeighting& filter, const float* interleaved, std::size_t frames, unsigned channels,
                       float* energies) {
    filterFloat(filter, interleaved, frames, channels, energies);
}

}  // namespace loudara

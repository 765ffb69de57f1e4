#pragma once
// The K-weighting of loudness measurement (ITU-R BS.1770): a high shelf of about +4 dB above
// 1.7 kHz (the head's effect) followed by a second-order high-pass at 38 Hz (the revised
// low-frequency B curve), both designed for the rate from their analogue prototypes. Both channels
// run side by side in the two lanes of one vector, in double precision: the high-pass's poles lie
// within a few thousandths of 1, where float would add audible-level noise to quiet passages.

#include <cstddef>
#include <cstdint>

namespace loudara {

typedef double KLanes __attribute__((vector_size(16)));  // lane 0 left (or mono), lane 1 right

// One transposed direct-form II biquad: y = b0*x + s1; s1 = b1*x - a1*y + s2; s2 = b2*x - a2*y.
struct KBiquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

struct KWeightingDesign {
    KBiquad shelf, highPass;
};

// Bilinear designs with the analogue prototypes' corner frequencies, Q and gain pre-warped to the
// rate. Shelf: f0 = 1681.97 Hz, Q = 0.7072, +4.0 dB, with K = tan(pi*f0/rate), Vh = 10^(G/20),
// Vb = Vh^0.4997: b = (Vh + Vb*K/Q + K^2, 2(K^2 - Vh), Vh - Vb*K/Q + K^2) / a0,
// a = (1, 2(K^2 - 1), 1 - K/Q + K^2) / a0 with a0 = 1 + K/Q + K^2.
// High-pass: f0 = 38.135 Hz, Q = 0.5003: b = (1, -2, 1), a as above (at unity gain in the pass band).
KWeightingDesign designKWeighting(double sampleRate);

// The filter's state for two channels.
struct KWeighting {
    KWeightingDesign design;
    KLanes s1[2] = {}, s2[2] = {};  // per biquad

    explicit KWeighting(double sampleRate) : design(designKWeighting(sampleRate)) {}
    void reset();
};

// Filters `frames` interleaved frames of `channels` (1 or 2) and writes each frame's weighted
// energy, the sum over the channels of the filtered sample squared, to energies[0 .. frames-1].
// A 16-bit value v counts as v / 32768. A mono channel is counted twice (as heard on two speakers).
void kWeightedEnergies(KWeighting& filter, const std::int16_t* interleaved, std::size_t frames, unsigned channels,
                       float* energies);
void kWeightedEnergies(KWeighting& filter, const float* interleaved, std::size_t frames, unsigned channels,
                       float* energies);

}  // namespace loudara

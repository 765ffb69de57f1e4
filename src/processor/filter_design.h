#pragma once
// Design formulas for the filter primitives. Used when the coefficient banks are built and when
// the bass EQ is redesigned; never on the audio path.

#include "filters.h"

namespace loudara {

// Bilinear first-order designs: t = tan(pi*fc/rate), p = (1 - t)/(1 + t).
// Low-pass b0 = b1 = (1 - p)/2, a1 = -p; high-pass b0 = (1 + p)/2, b1 = -b0, a1 = -p.
OnePole designOnePoleLowpass(double cutoffHz, double sampleRate);
OnePole designOnePoleHighpass(double cutoffHz, double sampleRate);
OnePolePair designOnePolePairHighpass(double cutoffHz, double sampleRate);

// Butterworth low- and high-passes by the bilinear transform with the corner pre-warped, so the
// digital response is -3 dB at cutoffHz.
Biquad designButterworthLowpass2(double cutoffHz, double sampleRate);
ThirdOrder designButterworthHighpass3(double cutoffHz, double sampleRate);
FifthOrder designButterworthLowpass5(double cutoffHz, double sampleRate);

// Second-order all-pass scaled by gain: a1 = -2r cos(theta), a2 = r^2, b0 = gain*a2, b1 = gain*a1,
// b2 = gain, whose phase passes -180 degrees where (1 + a2) cos w + a1 = 0 (w = 2*pi*f/rate).
// The poles sit at radius r = 1/gain, at the angle theta that puts -180 degrees at phase180Hz:
// a1 = -(1 + r^2) cos w. Where no angle reaches that frequency at this radius (cos theta would
// exceed 1: low frequencies with a gain near 1), the poles become a double real pole at the
// radius that does, r = (1 - sin w)/cos w, and the gain is kept.
Biquad designAllpass(double phase180Hz, double gain, double sampleRate);

// Notch (audio-EQ cookbook): unity gain away from centreHz, zero at centreHz.
Biquad designNotch(double centreHz, double q, double sampleRate);

// Peaking EQ (audio-EQ cookbook): A = 10^(gainDb/40), w0 = 2*pi*f/rate, alpha = sin(w0)/(2Q);
// b = {1 + alpha*A, -2cos w0, 1 - alpha*A} / a0, a = {-2cos w0, 1 - alpha/A} / a0, a0 = 1 + alpha/A.
Biquad designPeakingEq(double centreHz, double gainDb, double q, double sampleRate);

// Kaiser window at position r in -1..1 (0 at the centre): I0(beta sqrt(1 - r^2)) / I0(beta).
double kaiserWindow(double r, double beta);

}  // namespace loudara

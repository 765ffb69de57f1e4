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

// Second-order all-pass with a double real pole r, scaled by gain:
// a1 = -2r, a2 = r^2, b0 = gain*a2, b1 = gain*a1, b2 = gain.
// r is chosen so that the phase passes -180 degrees exactly at phase180Hz:
// r = (1 - sin w)/cos w with w = 2*pi*phase180Hz/rate.
Biquad designAllpass(double phase180Hz, double gain, double sampleRate);

// Notch (audio-EQ cookbook): unity gain away from centreHz, zero at centreHz.
Biquad designNotch(double centreHz, double q, double sampleRate);

// Peaking EQ (audio-EQ cookbook): A = 10^(gainDb/40), w0 = 2*pi*f/rate, alpha = sin(w0)/(2Q);
// b = {1 + alpha*A, -2cos w0, 1 - alpha*A} / a0, a = {-2cos w0, 1 - alpha/A} / a0, a0 = 1 + alpha/A.
Biquad designPeakingEq(double centreHz, double gainDb, double q, double sampleRate);

}  // namespace loudara

#include "filter_design.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace loudara {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;

// Butterworth of the given order by the bilinear transform. Poles of the analogue prototype at
// the pre-warped corner wc = 2*rate*tan(pi*fc/rate) map to z = (2*rate + s)/(2*rate - s); the
// zeros all sit at z = -1 (low-pass) or z = +1 (high-pass). The polynomials are expanded in z^-1
// and normalised for unity gain in the pass band.
void designButterworth(int order, double cutoffHz, double sampleRate, bool highpass, double* b, double* a) {
    const double k = 2.0 * sampleRate;
    const double wc = k * std::tan(kPi * cutoffHz / sampleRate);
    Complex den[8] = {1.0};
    Complex num[8] = {1.0};
    for (int i = 0; i < order; ++i) {
        const double theta = kPi * (2.0 * i + 1.0 + order) / (2.0 * order);
        const Complex analogPole = highpass ? wc / std::polar(1.0, theta) : wc * std::polar(1.0, theta);
        const Complex z = (k + analogPole) / (k - analogPole);
        const Complex zero = highpass ? 1.0 : -1.0;
        for (int j = i + 1; j > 0; --j) {
            den[j] -= z * den[j - 1];
            num[j] -= zero * num[j - 1];
        }
    }
    // Pass-band gain at z = 1 (low-pass) or z = -1 (high-pass).
    Complex numAt = 0.0, denAt = 0.0;
    const double zInv = highpass ? -1.0 : 1.0;
    double power = 1.0;
    for (int j = 0; j <= order; ++j) {
        numAt += num[j] * power;
        denAt += den[j] * power;
        power *= zInv;
    }
    const double scale = std::abs(denAt) / std::abs(numAt);
    for (int j = 0; j <= order; ++j) {
        b[j] = num[j].real() * scale;
        a[j] = den[j].real();
    }
}

}  // namespace

OnePole designOnePoleLowpass(double cutoffHz, double sampleRate) {
    const double t = std::tan(kPi * cutoffHz / sampleRate);
    const double p = (1.0 - t) / (1.0 + t);
    OnePole f;
    f.b0 = (1.0 - p) / 2.0;
    f.b1 = f.b0;
    f.a1 = -p;
    return f;
}

OnePole designOnePoleHighpass(double cutoffHz, double sampleRate) {
    const double t = std::tan(kPi * cutoffHz / sampleRate);
    const double p = (1.0 - t) / (1.0 + t);
    OnePole f;
    f.b0 = (1.0 + p) / 2.0;
    f.b1 = -f.b0;
    f.a1 = -p;
    return f;
}

OnePolePair designOnePolePairHighpass(double cutoffHz, double sampleRate) {
    const OnePole section = designOnePoleHighpass(cutoffHz, sampleRate);
    OnePolePair f;
    f.b0 = section.b0;
    f.a1 = section.a1;
    f.b1 = section.b1;
    return f;
}

Biquad designButterworthLowpass2(double cutoffHz, double sampleRate) {
    double b[3], a[3];
    designButterworth(2, cutoffHz, sampleRate, false, b, a);
    Biquad f;
    f.b0 = b[0];
    f.b1 = b[1];
    f.b2 = b[2];
    f.a1 = a[1];
    f.a2 = a[2];
    return f;
}

ThirdOrder designButterworthHighpass3(double cutoffHz, double sampleRate) {
    double b[4], a[4];
    designButterworth(3, cutoffHz, sampleRate, true, b, a);
    ThirdOrder f;
    f.b0 = b[0];
    f.b1 = b[1];
    f.b2 = b[2];
    f.b3 = b[3];
    f.a1 = a[1];
    f.a2 = a[2];
    f.a3 = a[3];
    return f;
}

FifthOrder designButterworthLowpass5(double cutoffHz, double sampleRate) {
    FifthOrder f;
    designButterworth(5, cutoffHz, sampleRate, false, f.b, f.a);
    f.a[0] = 1.0;
    return f;
}

Biquad designAllpass(double phase180Hz, double gain, double sampleRate) {
    const double w = 2.0 * kPi * phase180Hz / sampleRate;
    const double radius = 1.0 / gain;
    Biquad f;
    if ((1.0 + radius * radius) * std::cos(w) <= 2.0 * radius) {
        f.a1 = -(1.0 + radius * radius) * std::cos(w);
        f.a2 = radius * radius;
    } else {
        const double r = (1.0 - std::sin(w)) / std::cos(w);
        f.a1 = -2.0 * r;
        f.a2 = r * r;
    }
    f.b0 = gain * f.a2;
    f.b1 = gain * f.a1;
    f.b2 = gain;
    return f;
}

Biquad designNotch(double centreHz, double q, double sampleRate) {
    const double w0 = 2.0 * kPi * centreHz / sampleRate;
    const double alpha = std::sin(w0) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f.b0 = 1.0 / a0;
    f.b1 = -2.0 * std::cos(w0) / a0;
    f.b2 = 1.0 / a0;
    f.a1 = -2.0 * std::cos(w0) / a0;
    f.a2 = (1.0 - alpha) / a0;
    return f;
}

Biquad designPeakingEq(double centreHz, double gainDb, double q, double sampleRate) {
    const double A = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * kPi * centreHz / sampleRate;
    const double alpha = std::sin(w0) / (2.0 * q);
    const double a0 = 1.0 + alpha / A;
    Biquad f;
    f.b0 = (1.0 + alpha * A) / a0;
    f.b1 = -2.0 * std::cos(w0) / a0;
    f.b2 = (1.0 - alpha * A) / a0;
    f.a1 = -2.0 * std::cos(w0) / a0;
    f.a2 = (1.0 - alpha / A) / a0;
    return f;
}

double kaiserWindow(double r, double beta) {
    // I0 by its power series, which converges fast for the arguments of a window.
    const auto besselI0 = [](double x) {
        double sum = 1.0, term = 1.0;
        for (int k = 1; k < 50; ++k) {
            term *= (x / (2.0 * k)) * (x / (2.0 * k));
            sum += term;
        }
        return sum;
    };
    return besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(beta);
}

}  // namespace loudara

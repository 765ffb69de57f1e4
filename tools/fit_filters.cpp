// fit_filters: fits the processor's fixed filter coefficients to their target responses and
// prints them as a C++ header.
//
//   g++ -std=c++20 -O2 -Wall -Wextra -o /tmp/fit_filters tools/fit_filters.cpp
//   /tmp/fit_filters > src/processor/fitted_coefficients.h
//
// stdout: the header.  stderr: a verification report (every figure is measured from |H(e^jw)|
// of the printed coefficients, not taken from the fit's internal state).
//
// Self-contained (standard library only) and deterministic: every optimiser starts from a fixed
// grid of seeds, nothing depends on time or on random numbers.
//
// Filters:
//   emphasisInput  biquad, run with a fixed makeup gain of 1.584 after it; the pair gives a gentle
//                  treble lift peaking near 13 kHz followed by a steep fall towards Nyquist.
//                  Poles/zeros are fitted by least squares in dB (Nelder-Mead, polished towards
//                  minimax), parametrised so the poles can never leave the circle of radius 0.999.
//   digitalShelf   biquad high shelf: a cookbook (RBJ) shelf, times a broadband gain, between the
//                  low and high plateau levels of each rate. Corner and slope are shared by all
//                  rates and fitted (least squares) to the transition of a known 48 kHz shelf.
//   finalFir 1/2   23-tap symmetric (type I, linear phase, 11 samples delay) low-pass sets, fitted
//                  by equality-constrained weighted least squares: the -1/-3/-6/-20 dB points and
//                  the DC gain are hard constraints; elsewhere a target curve (flat passband, then piecewise
//                  linear in dB through those points, falling on to a floor) is matched.
//
// Biquad convention: y = b0*x + b1*x1 + b2*x2 - a1*y1 - a2*y2, stored as {b0, a1, b1, a2, b2}.
// FIR convention:    y = sum_{k=0..22} c[k] * x(n-k), c[k] == c[22-k].

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEmphasisMakeup = 1.584;  // gain applied after the emphasis biquad
constexpr double kMaxPoleRadius = 0.999;
constexpr std::array<double, 3> kRates = {44100.0, 48000.0, 32000.0};

using Vec = std::vector<double>;
using Complex = std::complex<double>;

double toDb(double mag) { return 20.0 * std::log10(std::max(mag, 1e-30)); }
double fromDb(double db) { return std::pow(10.0, db / 20.0); }
double logistic(double u) { return 1.0 / (1.0 + std::exp(-u)); }
double logit(double p) { return std::log(p / (1.0 - p)); }

std::string rateTag(double fs) { return std::to_string(static_cast<int>(fs)); }

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string kHz(double f) { return fmt("%.2f", f / 1000.0); }

// Signed dB to 2 decimals; rounds first so tiny negatives print as +0.00 rather than -0.00.
std::string dbStr(double db) {
    const double rounded = std::round(db * 100.0) / 100.0;
    return fmt("%+.2f", rounded == 0.0 ? 0.0 : rounded);
}

std::string freqLabel(double f) {
    if (f < 1000.0) return fmt("%.0f Hz", f);
    return fmt(std::fmod(f, 1000.0) == 0.0 ? "%.0f kHz" : "%.2f kHz", f / 1000.0);
}

// ---------------------------------------------------------------------------------------------
// Biquad

struct Biquad {
    double b0, a1, b1, a2, b2;
};

// |H(e^jw)|, H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
double biquadMag(const Biquad& q, double freq, double fs) {
    const Complex z1 = std::polar(1.0, -2.0 * kPi * freq / fs);
    const Complex z2 = z1 * z1;
    return std::abs((q.b0 + q.b1 * z1 + q.b2 * z2) / (1.0 + q.a1 * z1 + q.a2 * z2));
}

// Largest |root| of z^2 + a1 z + a2.
double poleRadius(const Biquad& q) {
    const double disc = q.a1 * q.a1 - 4.0 * q.a2;
    if (disc < 0.0) return std::sqrt(q.a2);
    const double s = std::sqrt(disc);
    return std::max(std::abs(-q.a1 + s), std::abs(-q.a1 - s)) / 2.0;
}

// Angle (as a frequency) and radius of the upper root of z^2 + c1 z + c2 (complex pair assumed;
// for real roots the larger one is reported at 0 or fs/2).
void rootInfo(double c1, double c2, double fs, double& freq, double& radius) {
    const double disc = c1 * c1 - 4.0 * c2;
    if (disc < 0.0) {
        radius = std::sqrt(c2);
        freq = std::acos(std::clamp(-c1 / (2.0 * radius), -1.0, 1.0)) * fs / (2.0 * kPi);
    } else {
        const double s = std::sqrt(disc);
        const double r1 = (-c1 + s) / 2.0, r2 = (-c1 - s) / 2.0;
        const double r = std::abs(r1) >= std::abs(r2) ? r1 : r2;
        radius = std::abs(r);
        freq = r >= 0.0 ? 0.0 : fs / 2.0;
    }
}

// ---------------------------------------------------------------------------------------------
// Nelder-Mead downhill simplex (reflection 1, expansion 2, contraction 0.5, shrink 0.5).

using Objective = std::function<double(const Vec&)>;

Vec nelderMead(const Objective& f, const Vec& start, double step, int maxEvals, double& best) {
    const std::size_t n = start.size();
    std::vector<Vec> x(n + 1, start);
    Vec fx(n + 1);
    for (std::size_t i = 0; i < n; ++i) x[i + 1][i] += step;
    for (std::size_t i = 0; i <= n; ++i) fx[i] = f(x[i]);
    int evals = static_cast<int>(n + 1);

    std::vector<std::size_t> order(n + 1);
    while (evals < maxEvals) {
        for (std::size_t i = 0; i <= n; ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return fx[a] < fx[b]; });
        const std::size_t lo = order[0], hi = order[n], nextHi = order[n - 1];
        if (std::abs(fx[hi] - fx[lo]) <= 1e-14 * (std::abs(fx[lo]) + 1e-30)) break;

        Vec centroid(n, 0.0);
        for (std::size_t i = 0; i <= n; ++i)
            if (i != hi)
                for (std::size_t k = 0; k < n; ++k) centroid[k] += x[i][k] / static_cast<double>(n);
        auto along = [&](double t) {
            Vec p(n);
            for (std::size_t k = 0; k < n; ++k) p[k] = centroid[k] + t * (x[hi][k] - centroid[k]);
            return p;
        };

        const Vec xr = along(-1.0);
        const double fr = f(xr);
        ++evals;
        if (fr < fx[lo]) {
            const Vec xe = along(-2.0);
            const double fe = f(xe);
            ++evals;
            if (fe < fr) { x[hi] = xe; fx[hi] = fe; }
            else { x[hi] = xr; fx[hi] = fr; }
        } else if (fr < fx[nextHi]) {
            x[hi] = xr;
            fx[hi] = fr;
        } else {
            const bool outside = fr < fx[hi];
            const Vec xc = along(outside ? -0.5 : 0.5);
            const double fc = f(xc);
            ++evals;
            if (fc < (outside ? fr : fx[hi])) {
                x[hi] = xc;
                fx[hi] = fc;
            } else {
                for (std::size_t i = 0; i <= n; ++i) {
                    if (i == lo) continue;
                    for (std::size_t k = 0; k < n; ++k) x[i][k] = x[lo][k] + 0.5 * (x[i][k] - x[lo][k]);
                    fx[i] = f(x[i]);
                    ++evals;
                }
            }
        }
    }
    const std::size_t bestIdx = static_cast<std::size_t>(std::min_element(fx.begin(), fx.end()) - fx.begin());
    best = fx[bestIdx];
    return x[bestIdx];
}

// Nelder-Mead restarted from its own result with a fresh simplex until it stops improving;
// restarts escape the premature collapses the method is prone to.
Vec minimise(const Objective& f, Vec x, double step, double& best) {
    best = f(x);
    for (int round = 0; round < 12; ++round) {
        double value = 0.0;
        Vec next = nelderMead(f, x, step, 4000, value);
        const bool improved = value < best - 1e-12 * std::abs(best);
        if (value < best) { best = value; x = next; }
        if (!improved) break;
    }
    return x;
}

// ---------------------------------------------------------------------------------------------
// emphasisInput

struct GainPoint {
    double freq, db, weight;
};

struct EmphasisTarget {
    double fs;
    std::vector<GainPoint> points;  // gains of biquad * kEmphasisMakeup
    double tolerance;               // acceptance per point (dB)
    // Optional envelope: gain must stay within [envLo, envHi] dB from DC up to envTop.
    double envTop, envLo, envHi;
    Vec poleFreqSeeds, poleRadiusSeeds, zeroFreqSeeds, zeroRadiusSeeds;
};

// Parameters: pole radius (0, 0.999), pole angle (0, pi), zero radius (0, 1), zero angle (0, pi),
// each through a logistic so every parameter vector is a stable filter. The gain is not free: it
// pins the DC gain to 1/kEmphasisMakeup so the chain has exactly 0 dB at DC.
Biquad emphasisFromParams(const Vec& p) {
    const double rp = kMaxPoleRadius * logistic(p[0]);
    const double thp = kPi * logistic(p[1]);
    const double rz = logistic(p[2]);
    const double thz = kPi * logistic(p[3]);
    const double a1 = -2.0 * rp * std::cos(thp), a2 = rp * rp;
    const double n1 = -2.0 * rz * std::cos(thz), n2 = rz * rz;
    const double g = (1.0 + a1 + a2) / ((1.0 + n1 + n2) * kEmphasisMakeup);
    return {g, a1, g * n1, a2, g * n2};
}

double emphasisDb(const Biquad& q, double freq, double fs) {
    return toDb(biquadMag(q, freq, fs) * kEmphasisMakeup);
}

// Squared excursion of the response outside the envelope, on a 100 Hz grid.
double envelopeExcess(const Biquad& q, const EmphasisTarget& t) {
    if (t.envTop <= 0.0) return 0.0;
    double sum = 0.0;
    for (double f = 100.0; f <= t.envTop + 1e-9; f += 100.0) {
        const double d = emphasisDb(q, f, t.fs);
        const double over = std::max(0.0, d - t.envHi) + std::max(0.0, t.envLo - d);
        sum += over * over;
    }
    return sum;
}

Biquad fitEmphasis(const EmphasisTarget& t) {
    // Stage 1: weighted least squares in dB from every seed.
    const Objective leastSquares = [&](const Vec& p) {
        const Biquad q = emphasisFromParams(p);
        double sum = 0.0;
        for (const auto& pt : t.points) {
            const double e = emphasisDb(q, pt.freq, t.fs) - pt.db;
            sum += pt.weight * e * e;
        }
        return sum + 1e3 * envelopeExcess(q, t);
    };
    Vec best;
    double bestValue = 1e300;
    for (double pf : t.poleFreqSeeds)
        for (double pr : t.poleRadiusSeeds)
            for (double zf : t.zeroFreqSeeds)
                for (double zr : t.zeroRadiusSeeds) {
                    const Vec seed = {logit(pr / kMaxPoleRadius), logit(pf / (t.fs / 2.0)), logit(zr),
                                      logit(std::min(zf / (t.fs / 2.0), 0.999))};
                    double value = 0.0;
                    Vec x = minimise(leastSquares, seed, 0.5, value);
                    if (value < bestValue) { bestValue = value; best = x; }
                }

    // Stage 2: push towards minimax of the weighted error (an L^16 norm keeps it smooth enough
    // for the simplex), starting from the least-squares optimum.
    const Objective nearMinimax = [&](const Vec& p) {
        const Biquad q = emphasisFromParams(p);
        double sum = 0.0;
        for (const auto& pt : t.points) {
            const double e = std::abs(emphasisDb(q, pt.freq, t.fs) - pt.db) * pt.weight / t.tolerance;
            sum += std::pow(e, 16.0);
        }
        return std::pow(sum, 1.0 / 16.0) + 1e3 * envelopeExcess(q, t);
    };
    double value = 0.0;
    best = minimise(nearMinimax, best, 0.05, value);
    return emphasisFromParams(best);
}

// ---------------------------------------------------------------------------------------------
// digitalShelf

struct ShelfTarget {
    double fs, lowDb, highDb;
};

// Cookbook (RBJ) high shelf: 0 dB at DC, gainDb at Nyquist, corner f0, slope S (S = 1 is the
// steepest without overshoot), normalised to a0 = 1.
Biquad rbjHighShelf(double fs, double f0, double gainDb, double slope) {
    const double A = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * kPi * f0 / fs;
    const double c = std::cos(w0);
    const double alpha = std::sin(w0) / 2.0 * std::sqrt((A + 1.0 / A) * (1.0 / slope - 1.0) + 2.0);
    const double sa = 2.0 * std::sqrt(A) * alpha;
    const double b0 = A * ((A + 1.0) + (A - 1.0) * c + sa);
    const double b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
    const double b2 = A * ((A + 1.0) + (A - 1.0) * c - sa);
    const double a0 = (A + 1.0) - (A - 1.0) * c + sa;
    const double a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
    const double a2 = (A + 1.0) - (A - 1.0) * c - sa;
    return {b0 / a0, a1 / a0, b1 / a0, a2 / a0, b2 / a0};
}

// Check points of the shelf: the low plateau at and below 100 Hz (0.2 dB), the high plateau at
// 5 kHz (0.3 dB) and from 8 kHz to 0.95 * Nyquist (0.2 dB).
struct ShelfCheck {
    double freq, db, tolerance;
};

std::vector<ShelfCheck> shelfChecks(const ShelfTarget& t) {
    std::vector<ShelfCheck> checks;
    for (double f : {20.0, 50.0, 100.0}) checks.push_back({f, t.lowDb, 0.2});
    checks.push_back({5000.0, t.highDb, 0.3});
    const double top = 0.95 * t.fs / 2.0;
    for (double f = 8000.0; f < top; f += 1000.0) checks.push_back({f, t.highDb, 0.2});
    checks.push_back({top, t.highDb, 0.2});
    return checks;
}

// Corner frequency and slope of the cookbook shelf, shared by every rate (the bilinear
// transform's prewarping keeps the transition at the same audio frequency).
struct ShelfShape {
    double f0, slope;
};

Biquad makeShelf(const ShelfTarget& t, const ShelfShape& s) {
    Biquad q = rbjHighShelf(t.fs, s.f0, t.highDb - t.lowDb, s.slope);
    const double g = fromDb(t.lowDb);
    q.b0 *= g;
    q.b1 *= g;
    q.b2 *= g;
    return q;
}

// The transition is taken from a known 48 kHz shelf with the 48k levels (-0.18 dB low, -3.18 dB
// high, half-way near 2 kHz, within 0.1 dB of its high level by 5 kHz). Its shape, expressed as
// the fraction of the shelf completed at f,
//     frac(f) = (dB(f) - dB(0)) / (dB(fs/2) - dB(0)),
// is matched by least squares over 40 log-spaced points from 50 Hz to 20 kHz; parameters are
// log f0 and the slope through a logistic in (0, 2).
constexpr Biquad kShelfShapeReference48k = {0.71593, -1.6602, -1.1442, 0.70935, 0.47639};

double shelfFraction(const Biquad& q, double f, double fs) {
    const double d0 = toDb(biquadMag(q, 0.0, fs));
    const double dn = toDb(biquadMag(q, fs / 2.0, fs));
    return (toDb(biquadMag(q, f, fs)) - d0) / (dn - d0);
}

ShelfShape fitShelfShape(double& rmsFraction) {
    constexpr double fs = 48000.0;
    constexpr int kPoints = 40;
    const auto shape = [](const Vec& p) { return ShelfShape{std::exp(p[0]), 2.0 * logistic(p[1])}; };
    const Objective cost = [&](const Vec& p) {
        const ShelfShape s = shape(p);
        const Biquad q = rbjHighShelf(fs, s.f0, -3.0, s.slope);
        double sum = 0.0;
        for (int i = 0; i < kPoints; ++i) {
            const double f = 50.0 * std::pow(20000.0 / 50.0, i / (kPoints - 1.0));
            const double e = shelfFraction(q, f, fs) - shelfFraction(kShelfShapeReference48k, f, fs);
            sum += e * e;
        }
        return sum;
    };
    Vec best;
    double bestValue = 1e300;
    for (double f0 : {1000.0, 2000.0, 4000.0})
        for (double s : {0.5, 1.0, 1.5}) {
            double value = 0.0;
            Vec x = minimise(cost, {std::log(f0), logit(s / 2.0)}, 0.3, value);
            if (value < bestValue) { bestValue = value; best = x; }
        }
    rmsFraction = std::sqrt(bestValue / kPoints);
    return shape(best);
}

// ---------------------------------------------------------------------------------------------
// Final FIR sets

constexpr int kTaps = 23;
constexpr int kHalf = kTaps / 2;  // 11: centre tap index, also the group delay in samples

using Fir = std::array<double, kTaps>;

// |H(e^jw)| evaluated directly from the taps.
double firMag(const Fir& c, double freq, double fs) {
    const double w = 2.0 * kPi * freq / fs;
    Complex sum = 0.0;
    for (int k = 0; k < kTaps; ++k) sum += c[k] * std::polar(1.0, -w * k);
    return std::abs(sum);
}

double firDb(const Fir& c, double freq, double fs) { return toDb(firMag(c, freq, fs)); }

// Zero-phase amplitude of a type-I FIR: A(w) = h0 + 2 * sum_{k=1..11} h_k cos(k w), with
// h_k = c[11 - k] = c[11 + k]. Basis function k at w:
double ampBasis(int k, double w) { return k == 0 ? 1.0 : 2.0 * std::cos(k * w); }

constexpr std::array<double, 4> kCrossLevels = {-1.0, -3.0, -6.0, -20.0};

struct FirTarget {
    int set;
    double fs;
    double dcGain;                  // exact sum of the taps
    std::array<double, 4> crossAt;  // Hz where -1/-3/-6/-20 dB is first reached; 0 = not below Nyquist
};

// First frequency where the response falls below levelDb (1 Hz scan + bisection); 0 if never.
double firstCrossing(const Fir& c, double fs, double levelDb) {
    double prev = 0.0;
    for (double f = 1.0; f <= fs / 2.0; f += 1.0) {
        if (firDb(c, f, fs) < levelDb) {
            double lo = prev, hi = f;
            for (int i = 0; i < 40; ++i) {
                const double mid = 0.5 * (lo + hi);
                (firDb(c, mid, fs) < levelDb ? hi : lo) = mid;
            }
            return 0.5 * (lo + hi);
        }
        prev = f;
    }
    return 0.0;
}

// Solves the dense system m x = r (Gaussian elimination with partial pivoting, on copies).
Vec solveLinear(std::vector<Vec> m, Vec r) {
    const std::size_t n = r.size();
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t piv = col;
        for (std::size_t i = col + 1; i < n; ++i)
            if (std::abs(m[i][col]) > std::abs(m[piv][col])) piv = i;
        std::swap(m[col], m[piv]);
        std::swap(r[col], r[piv]);
        for (std::size_t i = col + 1; i < n; ++i) {
            const double k = m[i][col] / m[col][col];
            for (std::size_t j = col; j < n; ++j) m[i][j] -= k * m[col][j];
            r[i] -= k * r[col];
        }
    }
    Vec x(n);
    for (std::size_t i = n; i-- > 0;) {
        double s = r[i];
        for (std::size_t j = i + 1; j < n; ++j) s -= m[i][j] * x[j];
        x[i] = s / m[i][i];
    }
    return x;
}

// Target curve in dB through the knots (piecewise linear in dB), continued past the last knot
// with the last segment's slope down to a floor.
struct Knot {
    double freq, db;
};

double targetDb(const std::vector<Knot>& knots, double f, double floorDb) {
    if (f <= knots.front().freq) return knots.front().db;
    for (std::size_t i = 1; i < knots.size(); ++i) {
        if (f <= knots[i].freq) {
            const auto& a = knots[i - 1];
            const auto& b = knots[i];
            return a.db + (b.db - a.db) * (f - a.freq) / (b.freq - a.freq);
        }
    }
    const auto& a = knots[knots.size() - 2];
    const auto& b = knots.back();
    const double slope = (b.db - a.db) / (b.freq - a.freq);
    return std::max(floorDb, b.db + slope * (f - b.freq));
}

// Fits the 12 free amplitude coefficients: minimise sum W(f) (A(f) - T(f))^2 over a dense grid
// subject to A(0) = dcGain and A(f_i) = 10^(L_i/20) at each crossing frequency. Lagrange
// multipliers give the square system [M C'; C 0][h; lambda] = [r; d].
Fir designFir(const FirTarget& t) {
    const double nyq = t.fs / 2.0;
    const double f1 = t.crossAt[0], f3 = t.crossAt[1];
    // Passband stays at 0 dB up to a knee below the -1 dB point; between knee and -1 dB the
    // target eases in linearly (in dB).
    const double knee = f1 - 1.5 * (f3 - f1);
    std::vector<Knot> knots = {{0.0, 0.0}, {knee, 0.0}};
    std::vector<std::pair<double, double>> constraints = {{0.0, t.dcGain}};
    for (std::size_t i = 0; i < kCrossLevels.size(); ++i) {
        if (t.crossAt[i] <= 0.0 || t.crossAt[i] >= nyq) continue;
        knots.push_back({t.crossAt[i], kCrossLevels[i]});
        constraints.push_back({t.crossAt[i], fromDb(kCrossLevels[i])});
    }
    const double stopStart = knots.back().freq;

    constexpr int kGrid = 2000;
    constexpr int kCoef = kHalf + 1;
    const std::size_t nc = constraints.size();
    const std::size_t n = kCoef + nc;
    std::vector<Vec> m(n, Vec(n, 0.0));
    Vec r(n, 0.0);
    for (int g = 0; g <= kGrid; ++g) {
        const double f = nyq * g / kGrid;
        const double w = 2.0 * kPi * f / t.fs;
        const double target = fromDb(targetDb(knots, f, -60.0));
        // Full weight through the passband and transition, light weight in the stopband where
        // the only aim is to keep falling.
        const double weight = f <= stopStart ? 1.0 : 0.05;
        for (int i = 0; i < kCoef; ++i) {
            const double bi = ampBasis(i, w);
            r[i] += weight * target * bi;
            for (int j = 0; j < kCoef; ++j) m[i][j] += weight * bi * ampBasis(j, w);
        }
    }
    for (std::size_t ci = 0; ci < nc; ++ci) {
        const double w = 2.0 * kPi * constraints[ci].first / t.fs;
        for (int j = 0; j < kCoef; ++j) {
            m[kCoef + ci][j] = ampBasis(j, w);
            m[j][kCoef + ci] = ampBasis(j, w);
        }
        r[kCoef + ci] = constraints[ci].second;
    }
    const Vec h = solveLinear(m, r);

    Fir c{};
    for (int k = 0; k <= kHalf; ++k) c[kHalf - k] = c[kHalf + k] = h[k];

    // Scale to the exact DC gain. The scaled taps, summed in index order, can still miss dcGain by
    // an ulp (the running sum passes through values above 1, where the ulp doubles, and the last
    // taps are too small for one of their own ulps to move the total), so nudge the centre tap by
    // a few of its ulps and the outermost pair by a few multiples of 2^-54, smallest change first,
    // until the double sum is exactly dcGain. The changes are ~1e-16, far below any audible effect.
    double sum = 0.0;
    for (double v : c) sum += v;
    for (double& v : c) v *= t.dcGain / sum;
    const Fir scaled = c;
    const auto stepUlps = [](double v, int ulps) {
        for (; ulps > 0; --ulps) v = std::nextafter(v, 2.0);
        for (; ulps < 0; ++ulps) v = std::nextafter(v, -2.0);
        return v;
    };
    for (int radius = 0; radius <= 16; ++radius)
        for (int centre = -radius; centre <= radius; ++centre)
            for (int edge = -radius; edge <= radius; ++edge) {
                if (std::max(std::abs(centre), std::abs(edge)) != radius) continue;
                c = scaled;
                c[kHalf] = stepUlps(c[kHalf], centre);
                c[0] = c[kTaps - 1] = scaled[0] + edge * 0x1p-54;
                sum = 0.0;
                for (double v : c) sum += v;
                if (sum == t.dcGain) return c;
            }
    return scaled;
}

// ---------------------------------------------------------------------------------------------
// Output

struct Report {
    std::string text;
    double worst = 0.0;  // worst deviation from target, in the array's own unit (dB or Hz)
    bool pass = true;
};

std::vector<std::pair<std::string, Report>> gSummary;

void printArray(const std::string& comment, const std::string& name, const double* v, int count) {
    std::printf("\n// %s\n", comment.c_str());
    std::printf("inline constexpr double %s[%d] = {", name.c_str(), count);
    for (int i = 0; i < count; ++i) {
        std::fputs(i % 4 == 0 ? "\n    " : " ", stdout);
        std::printf("%.17g,", v[i]);
    }
    std::printf("\n};\n");
}

void printBiquad(const std::string& comment, const std::string& name, const Biquad& q) {
    const double v[5] = {q.b0, q.a1, q.b1, q.a2, q.b2};
    printArray(comment, name, v, 5);
}

void reportEmphasis(const EmphasisTarget& t, const Biquad& q) {
    const std::string name = "kEmphasisInput" + rateTag(t.fs);
    double pf, pr, zf, zr;
    rootInfo(q.a1, q.a2, t.fs, pf, pr);
    rootInfo(q.b1 / q.b0, q.b2 / q.b0, t.fs, zf, zr);
    Report rep;
    std::string gains;
    std::fprintf(stderr, "%s  (biquad x %.3f; poles r=%.4f @ %.0f Hz, zeros r=%.4f @ %.0f Hz)\n", name.c_str(),
                 kEmphasisMakeup, pr, pf, zr, zf);
    for (const auto& p : t.points) {
        const double d = emphasisDb(q, p.freq, t.fs);
        const double e = d - p.db;
        rep.worst = std::max(rep.worst, std::abs(e));
        if (std::abs(e) > t.tolerance) rep.pass = false;
        std::fprintf(stderr, "  %9s  target %+6.2f dB  measured %+7.3f dB  error %+6.3f dB%s\n",
                     freqLabel(p.freq).c_str(), p.db, d, e, std::abs(e) > t.tolerance ? "  OUT OF TOLERANCE" : "");
        gains += (gains.empty() ? "" : ", ") + freqLabel(p.freq) + " " + dbStr(d);
    }
    if (t.envTop > 0.0) {
        double lo = 1e9, hi = -1e9;
        for (double f = 10.0; f <= t.envTop; f += 10.0) {
            const double d = emphasisDb(q, f, t.fs);
            lo = std::min(lo, d);
            hi = std::max(hi, d);
        }
        const bool ok = lo >= t.envLo - 1e-9 && hi <= t.envHi + 1e-9;
        if (!ok) rep.pass = false;
        std::fprintf(stderr, "  range 10 Hz..%s: %+.3f .. %+.3f dB (allowed %+.1f .. %+.1f)%s\n",
                     freqLabel(t.envTop).c_str(), lo, hi, t.envLo, t.envHi, ok ? "" : "  OUT OF RANGE");
    }
    double peakDb = -1e9, peakFreq = 0.0;
    for (double f = 10.0; f <= t.fs / 2.0; f += 10.0) {
        const double d = emphasisDb(q, f, t.fs);
        if (d > peakDb) { peakDb = d; peakFreq = f; }
    }
    const double radius = poleRadius(q);
    if (radius > kMaxPoleRadius) rep.pass = false;
    std::fprintf(stderr, "  peak %+.3f dB at %s kHz, Nyquist %+.2f dB; max pole radius %.6f; worst error %.3f dB "
                 "(tolerance %.2f)\n\n", peakDb, kHz(peakFreq).c_str(), emphasisDb(q, t.fs / 2.0, t.fs), radius,
                 rep.worst, t.tolerance);
    printBiquad("emphasisInput @ " + rateTag(t.fs) + " Hz, {b0, a1, b1, a2, b2}; with x1.584 measures: " + gains +
                    " dB; poles r " + fmt("%.3f", pr) + " at " + kHz(pf) + " kHz, zeros r " + fmt("%.3f", zr) +
                    " at " + kHz(zf) + " kHz",
                name, q);
    rep.text = fmt("%.3f dB", rep.worst);
    gSummary.push_back({name, rep});
}

void reportShelf(const ShelfTarget& t, const Biquad& q) {
    const std::string name = "kDigitalShelf" + rateTag(t.fs);
    Report rep;
    std::fprintf(stderr, "%s  (low %+.1f dB, high %+.1f dB)\n", name.c_str(), t.lowDb, t.highDb);
    for (const auto& c : shelfChecks(t)) {
        const double d = toDb(biquadMag(q, c.freq, t.fs));
        const double e = d - c.db;
        rep.worst = std::max(rep.worst, std::abs(e));
        if (std::abs(e) > c.tolerance) rep.pass = false;
        std::fprintf(stderr, "  %9s  target %+5.2f dB  measured %+7.3f dB  error %+6.3f dB (tol %.1f)%s\n",
                     freqLabel(c.freq).c_str(), c.db, d, e, c.tolerance,
                     std::abs(e) > c.tolerance ? "  OUT OF TOLERANCE" : "");
    }
    const double radius = poleRadius(q);
    if (radius > kMaxPoleRadius) rep.pass = false;
    // Transition overview, also used for the header comment.
    std::string gains;
    for (double f : {100.0, 1000.0, 2000.0, 3000.0, 5000.0, 8000.0, 12000.0, 0.95 * t.fs / 2.0})
        gains += (gains.empty() ? "" : ", ") + freqLabel(f) + " " + dbStr(toDb(biquadMag(q, f, t.fs)));
    std::fprintf(stderr, "  %s dB; Nyquist %+.3f dB; max pole radius %.6f\n\n", gains.c_str(),
                 toDb(biquadMag(q, t.fs / 2.0, t.fs)), radius);
    printBiquad("digitalShelf @ " + rateTag(t.fs) + " Hz, {b0, a1, b1, a2, b2}; measures: " + gains + " dB", name, q);
    rep.text = fmt("%.3f dB", rep.worst);
    gSummary.push_back({name, rep});
}

void reportFir(const FirTarget& t, const Fir& c) {
    const std::string name = "kFinalFir" + std::to_string(t.set) + "_" + rateTag(t.fs);
    const double nyq = t.fs / 2.0;
    Report rep;
    bool symmetric = true;
    double sum = 0.0;
    for (int k = 0; k < kTaps; ++k) {
        symmetric = symmetric && c[k] == c[kTaps - 1 - k];
        sum += c[k];
    }
    if (!symmetric || sum != t.dcGain) rep.pass = false;
    std::fprintf(stderr, "%s  (set %d; sum of taps %.17g, %s)\n", name.c_str(), t.set, sum,
                 symmetric ? "symmetric" : "NOT SYMMETRIC");
    std::string crossings;
    for (std::size_t i = 0; i < kCrossLevels.size(); ++i) {
        const double m = firstCrossing(c, t.fs, kCrossLevels[i]);
        const std::string measured = m > 0.0 ? kHz(m) + " kHz" : "not reached";
        if (t.crossAt[i] > 0.0) {
            const double e = m > 0.0 ? m - t.crossAt[i] : 1e9;
            rep.worst = std::max(rep.worst, std::abs(e));
            if (std::abs(e) > 150.0) rep.pass = false;
            std::fprintf(stderr, "  %+5.0f dB  target %6s kHz  measured %12s  error %+7.1f Hz%s\n", kCrossLevels[i],
                         kHz(t.crossAt[i]).c_str(), measured.c_str(), e,
                         std::abs(e) > 150.0 ? "  OUT OF TOLERANCE" : "");
        } else {
            const bool ok = m == 0.0;
            if (!ok) rep.pass = false;
            std::fprintf(stderr, "  %+5.0f dB  target  above Nyquist  measured %12s%s\n", kCrossLevels[i],
                         measured.c_str(), ok ? "" : "  OUT OF TOLERANCE");
        }
        if (!crossings.empty()) crossings += '/';
        crossings += m > 0.0 ? kHz(m) : std::string("-");
    }
    // Passband flatness: peak over DC..f(-1 dB), lowest point over DC..0.8 f(-1 dB).
    const double f1 = firstCrossing(c, t.fs, -1.0);
    double peak = -1e9, dip = 1e9;
    for (double f = 0.0; f <= f1; f += 10.0) {
        const double d = firDb(c, f, t.fs);
        peak = std::max(peak, d);
        if (f <= 0.8 * f1) dip = std::min(dip, d);
    }
    double stopPeak = -1e9;
    const double f20 = firstCrossing(c, t.fs, -20.0);
    if (f20 > 0.0)
        for (double f = f20; f <= nyq; f += 10.0) stopPeak = std::max(stopPeak, firDb(c, f, t.fs));
    std::fprintf(stderr, "  passband: peak %+.3f dB (DC..%s kHz), lowest %+.3f dB (DC..%s kHz); Nyquist %+.2f dB",
                 peak, kHz(f1).c_str(), dip, kHz(0.8 * f1).c_str(), firDb(c, nyq, t.fs));
    if (f20 > 0.0) std::fprintf(stderr, "; highest above -20 dB point %+.2f dB", stopPeak);
    std::fprintf(stderr, "\n\n");
    std::string comment = "finalFir set " + std::to_string(t.set) + (t.set == 1 ? " (\"15k\")" : " (\"12k\")") +
                          " @ " + rateTag(t.fs) + " Hz, 23 taps, symmetric, sum " + fmt("%.4f", t.dcGain) +
                          "; -1/-3/-6/-20 dB at " + crossings + " kHz";
    if (t.crossAt[2] <= 0.0) comment += " (-: not reached), Nyquist " + dbStr(firDb(c, nyq, t.fs)) + " dB";
    comment += "; passband " + dbStr(dip) + ".." + dbStr(peak) + " dB";
    printArray(comment, name, c.data(), kTaps);
    rep.text = fmt("%.1f Hz", rep.worst);
    gSummary.push_back({name, rep});
}

}  // namespace

int main() {
    // --- emphasisInput targets (gain of biquad x 1.584, dB) ---
    const std::vector<GainPoint> emph44 = {
        {100, 0.0, 1}, {1000, 0.0, 1}, {5000, 0.4, 1},   {8000, 1.3, 1},   {10000, 2.4, 1},   {12000, 3.7, 1},
        {13000, 4.0, 1}, {14000, 2.9, 1}, {15000, 0.0, 1}, {16000, -3.9, 1}, {18000, -13.2, 1}, {20000, -26.4, 1}};
    // Same curve at 48 kHz up to 14 kHz (13k/14k only loosely), then the 48k figures above it.
    const std::vector<GainPoint> emph48 = {
        {100, 0.0, 1},   {1000, 0.0, 1},   {5000, 0.4, 1},   {8000, 1.3, 1},    {10000, 2.4, 1},
        {12000, 3.9, 1}, {13000, 4.0, 0.5}, {14000, 2.9, 0.5}, {15000, 0.0, 1}, {18000, -10.4, 1}};
    // At 32 kHz there is no room for the fall above 15 kHz: a gentle rise kept within 0..+2.6 dB.
    const std::vector<GainPoint> emph32 = {{100, 0.0, 1},   {1000, 0.0, 1},   {5000, 0.4, 1}, {8000, 1.3, 1},
                                           {10000, 2.0, 1}, {12000, 2.5, 1}, {14000, 2.55, 1}};
    const std::vector<EmphasisTarget> emphasis = {
        {44100, emph44, 0.3, 0, 0, 0, {11000, 12500, 14000}, {0.4, 0.6, 0.8}, {19000, 20500, 21500}, {0.8, 0.95}},
        {48000, emph48, 0.3, 0, 0, 0, {11000, 12500, 14000}, {0.4, 0.6, 0.8}, {19000, 21000, 23000}, {0.8, 0.95}},
        {32000, emph32, 0.3, 14000, 0.0, 2.6, {10000, 13000, 15500}, {0.2, 0.5, 0.8}, {12000, 15000, 15900},
         {0.3, 0.8}},
    };

    // --- digitalShelf levels (dB) ---
    const std::vector<ShelfTarget> shelves = {{44100, -0.1, -3.0}, {48000, -0.2, -3.2}, {32000, 0.0, -3.0}};

    // --- final FIR crossing points (Hz), set 1 sums to 1.0002, set 2 to 0.9998 ---
    const std::vector<FirTarget> firs = {
        {1, 44100, 1.0002, {12800, 13700, 14500, 16400}}, {2, 44100, 0.9998, {10000, 11000, 11800, 13700}},
        {1, 48000, 1.0002, {13800, 15000, 15900, 17900}}, {2, 48000, 0.9998, {10900, 11900, 12800, 14800}},
        {1, 32000, 1.0002, {14200, 15300, 0, 0}},         {2, 32000, 0.9998, {11200, 11900, 12500, 14000}},
    };

    std::printf("#pragma once\n");
    std::printf("// Generated by tools/fit_filters (see that file for the targets and the fit). "
                "Do not edit by hand.\n");
    std::printf("namespace loudara::fitted {\n");

    for (const auto& t : emphasis) reportEmphasis(t, fitEmphasis(t));
    double shapeRms = 0.0;
    const ShelfShape shape = fitShelfShape(shapeRms);
    std::fprintf(stderr,
                 "digitalShelf transition: cookbook shelf f0 %.1f Hz, slope %.4f "
                 "(rms fraction error %.4f vs the 48k reference shelf)\n\n",
                 shape.f0, shape.slope, shapeRms);
    for (const auto& t : shelves) reportShelf(t, makeShelf(t, shape));
    for (double fs : kRates)
        for (const auto& t : firs)
            if (t.fs == fs) reportFir(t, designFir(t));

    std::printf("\n}  // namespace loudara::fitted\n");

    bool allPass = true;
    std::fprintf(stderr, "Summary (worst deviation from target):\n");
    for (const auto& [name, rep] : gSummary) {
        std::fprintf(stderr, "  %-22s %12s  %s\n", name.c_str(), rep.text.c_str(), rep.pass ? "ok" : "FAIL");
        allPass = allPass && rep.pass;
    }
    return allPass ? 0 : 1;
}

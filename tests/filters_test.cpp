// Delay lines whose length changes between calls, and the design functions' responses measured
// from steady sines. The primitives' step equations are checked through the whole chain against
// the plain model's own (reference_chain_test).

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "measure.h"
#include "processor/filter_design.h"
#include "processor/filters.h"

namespace loudara {
namespace {

using namespace loudara::test;

// x(n) = n + 1, so every stored value is distinct and no value is zero.
double ramp(int n) { return n + 1.0; }

// Shrinking or growing a line between calls: the index stays inside the line, every output is a
// value that was written (or the initial zero), and once `length` calls have passed the line
// delays by its new length.
TEST(DelayLines, ChangingTheLengthBetweenCallsStaysInsideTheBuffer) {
    auto line = std::make_unique<DelayLine<double, 900>>();
    auto pure = std::make_unique<PureDelay<double, 900>>();
    auto diffuser = std::make_unique<Diffuser>();
    diffuser->gain = 0.5;
    std::set<double> written{0.0};
    int n = 0;
    for (int length : {900, 3, 66, 1, 900, 7, 899, 2}) {
        diffuser->length = length;
        const int calls = (length == 900 || length == 899) ? 2 * length - 1 : 3 * length + 5;
        for (int k = 0; k < calls; ++k, ++n) {
            written.insert(ramp(n));
            const double a = step(*line, ramp(n), length);
            const double b = step(*pure, ramp(n), length);
            const double c = step(*diffuser, std::sin(0.1 * n));
            ASSERT_TRUE(written.count(a) && written.count(b)) << "length " << length << " call " << k;
            ASSERT_TRUE(std::abs(c) < 10.0) << "length " << length << " call " << k;
            ASSERT_TRUE(line->index >= 0 && line->index < length);
            ASSERT_TRUE(pure->index >= 0 && pure->index <= length);
            ASSERT_TRUE(diffuser->index >= 0 && diffuser->index <= length);
            if (k >= length) {
                ASSERT_EQ(a, ramp(n - (length - 1))) << "length " << length;
                ASSERT_EQ(b, ramp(n - length)) << "length " << length;
            }
        }
    }
}

// Butterworth designs: -3.01 dB at the corner and the bilinear-warped Butterworth magnitude at
// the probe frequencies.
struct ButterworthCase {
    std::string name;
    std::function<double(double)> filter;
    bool highpass;
    int order;
    double cornerHz, rate;
    std::vector<double> probesHz;
};
std::ostream& operator<<(std::ostream& os, const ButterworthCase& c) { return os << c.name; }

class ButterworthDesign : public ::testing::TestWithParam<ButterworthCase> {};

TEST_P(ButterworthDesign, IsDown3DbAtTheCornerWithButterworthShape) {
    const ButterworthCase& c = GetParam();
    auto gain = [&](double hz) { return gainDbAt(c.filter, hz, c.rate); };
    EXPECT_NEAR(gain(c.cornerHz), -3.0103, 0.005);
    const double corner = findCrossing(gain, -3.0103, c.cornerHz / 3, std::min(3 * c.cornerHz, 0.49 * c.rate));
    EXPECT_NEAR(corner / c.cornerHz, 1.0, 0.001);
    for (double hz : c.probesHz) {
        EXPECT_NEAR(gain(hz), butterworthDb(c.highpass, c.order, c.cornerHz, hz, c.rate), 0.01) << hz << " Hz";
    }
    EXPECT_NEAR(gain(c.highpass ? 0.45 * c.rate : 0.0), 0.0, 0.01) << "pass band";
}

std::vector<ButterworthCase> butterworthCases() {
    using C = ButterworthCase;
    return {
        C{"Lowpass1_4000", laneOf(designOnePoleLowpass(4000, 44100)), false, 1, 4000, 44100, {2000, 8000}},
        C{"Highpass1_10", laneOf(designOnePoleHighpass(10, 48000)), true, 1, 10, 48000, {5, 20}},
        C{"Lowpass2_1000", laneOf(designButterworthLowpass2(1000, 44100)), false, 2, 1000, 44100, {500, 2000, 10000}},
        // Third order at fc/2 is about -18.1 dB.
        C{"Highpass3_1000", laneOf(designButterworthHighpass3(1000, 44100)), true, 3, 1000, 44100, {500, 2000}},
        C{"Highpass3_150", laneOf(designButterworthHighpass3(150, 32000)), true, 3, 150, 32000, {75, 300}},
        C{"Lowpass5_3000", laneOf(designButterworthLowpass5(3000, 44100)), false, 5, 3000, 44100, {1500, 6000}},
        C{"Lowpass5_15000", laneOf(designButterworthLowpass5(15000, 32000)), false, 5, 15000, 32000, {7500, 15600}},
    };
}
INSTANTIATE_TEST_SUITE_P(Designs, ButterworthDesign, ::testing::ValuesIn(butterworthCases()),
                         [](const auto& info) { return info.param.name; });

// Phase of a response in degrees, turned into -360..0 for an all-pass whose phase falls from 0.
double lagDegrees(std::complex<double> h) {
    const double degrees = std::arg(h) * 180.0 / kPi;
    return degrees > 0 ? degrees - 360.0 : degrees;
}

// The poles of a second-order section read off its impulse response: for n >= 3,
// h[n] = -a1 h[n-1] - a2 h[n-2]; two such equations give a1 and a2.
struct Poles {
    double a1, a2;
    double radius() const { return std::sqrt(a2); }
    bool doubleReal() const { return std::abs(a1 * a1 - 4.0 * a2) < 1e-9; }
};
template <class StepFn>
Poles polesOf(StepFn f) {
    const std::vector<double> h = impulseResponse(f, 5);
    const double det = h[2] * h[2] - h[1] * h[3];
    return {(h[1] * h[4] - h[3] * h[2]) / det, (h[3] * h[3] - h[2] * h[4]) / det};
}

TEST(AllpassDesign, FlatGainAndHalfATurnAtTheDesignFrequency) {
    // Where the frequency can be reached with poles at radius 1/gain (band 4's all-pass at every
    // rate) the poles lie there; the low all-passes, whose gain near 1 puts the frequency out of
    // reach at that radius, get a double real pole instead.
    struct Case { double hz, gain, rate; bool inverseRadius; };
    for (const Case& c : {Case{140, 1.0187, 48000, false}, Case{105, 1.0153, 44100, false},
                          Case{104.9, 1.0140, 48000, false}, Case{105, 1.0210, 32000, false},
                          Case{4657, 1.532, 44100, true}, Case{4571, 1.498, 48000, true},
                          Case{4657 * 32000.0 / 44100.0, 1.532, 32000, true}}) {
        SCOPED_TRACE(c.hz);
        const auto f = laneOf(designAllpass(c.hz, c.gain, c.rate));
        for (double hz : {c.hz / 4, c.hz, 4 * c.hz, 0.3 * c.rate}) {
            EXPECT_NEAR(std::abs(measureSteady(f, hz, c.rate)), c.gain, 1e-6) << hz << " Hz";
        }
        EXPECT_NEAR(lagDegrees(measureSteady(f, c.hz, c.rate)), -180.0, 0.01);
        const Poles poles = polesOf(laneOf(designAllpass(c.hz, c.gain, c.rate)));
        if (c.inverseRadius) {
            EXPECT_NEAR(poles.radius() * c.gain, 1.0, 1e-9);
            EXPECT_LT(poles.a1 * poles.a1, 4.0 * poles.a2) << "the poles are not a complex pair";
        } else {
            EXPECT_TRUE(poles.doubleReal()) << poles.a1 << " " << poles.a2;
            EXPECT_GT(poles.radius() * c.gain, 1.0) << "1/gain would have reached the frequency";
        }
    }
}

TEST(NotchDesign, DeepAtTheCentreAndUnityFarAway) {
    const auto f = laneOf(designNotch(7490, 6.14, 44100));
    EXPECT_LT(gainDbAt(f, 7490, 44100), -60.0);
    for (double hz : {0.0, 100.0, 1000.0, 15000.0, 20000.0}) EXPECT_NEAR(gainDbAt(f, hz, 44100), 0.0, 0.1) << hz;
    EXPECT_LT(gainDbAt(f, 7300, 44100), -6.0);
}

TEST(PeakingEqDesign, GainAtTheCentreIsTheDbAskedAndFlatFarAway) {
    struct Case { double hz, db, q, rate; };
    for (const Case& c : {Case{60, 6, 1.4, 44100}, Case{1000, -9, 0.7, 48000}, Case{150, 12, 2.0, 32000}}) {
        SCOPED_TRACE(c.hz);
        const auto f = laneOf(designPeakingEq(c.hz, c.db, c.q, c.rate));
        EXPECT_NEAR(gainDbAt(f, c.hz, c.rate), c.db, 0.001);
        EXPECT_NEAR(gainDbAt(f, 0.0, c.rate), 0.0, 0.001);
        EXPECT_NEAR(gainDbAt(f, 0.45 * c.rate, c.rate), 0.0, 0.05);
        EXPECT_LT(std::abs(gainDbAt(f, c.hz * 2, c.rate)), std::abs(c.db) * 0.8);
    }
}

}  // namespace
}  // namespace loudara

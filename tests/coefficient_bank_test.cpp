// The coefficient banks of the three rates, slot by slot and table by table, measured from steady
// sines and impulse responses against the corner frequencies, gains and curves the chain is
// built around.

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "measure.h"
#include "processor/coefficient_bank.h"
#include "processor/processor.h"

namespace loudara {
namespace {

using namespace loudara::test;
using StepFn = std::function<double(double)>;

constexpr double kHalfPowerDb = -3.0103;

// Frequencies in Hz; 0 where the response never falls that far below 16 kHz.
struct FirPoints { double minus1, minus3, minus6, minus20; };

// What each bank realises.
struct RateFigures {
    int rate;
    double lowBandsSplitHz, band2Hz, band3Hz, band4Hz, deEmphasis50Hz, deEmphasis75Hz, transientHz;
    double highBandsAllpassHz, highBandsAllpassGain, band4AllpassHz, band4AllpassGain;
    double phaseShifterHz, phaseShifterGain;
    double emphasisGain50, emphasisGain75;
    double shelfLowDb, shelfHighDb;
    FirPoints fir[kFinalFirSets];
    std::vector<std::pair<double, double>> emphasisCurve;  // Hz, dB of emphasisInput times 1.584
};

const RateFigures kFigures[] = {
    {48000, 462, 1100, 2400, 5900, 3265.3, 2176.9, 0.25, 104.9, 1.0140, 4571, 1.498, 140.0, 1.0187, 2.2, 4.4,
     -0.2, -3.2, {{13800, 15000, 15900, 17900}, {10900, 11900, 12800, 14800}},
     {{12000, 3.9}, {15000, 0.0}, {18000, -10.4}}},
    {44100, 424.5, 1100, 2400, 5900, 3000, 2000, 0.1, 105.0, 1.0153, 4657, 1.532, 128.6, 1.0187, 2.7, 5.1,
     -0.1, -3.0, {{12800, 13700, 14500, 16400}, {10000, 11000, 11800, 13700}},
     {{100, 0.0}, {1000, 0.0}, {5000, 0.4}, {8000, 1.3}, {10000, 2.4}, {12000, 3.7}, {13000, 4.0},
      {14000, 2.9}, {15000, 0.0}, {16000, -3.9}, {18000, -13.2}, {20000, -26.4}}},
    {32000, 424.5, 798.2, 1741.5, 4281.2, 3000, 2000, 0.25, 105.0, 1.0210, 3379, 1.532, 140.0, 1.0280, 4.8, 8.0,
     0.0, -3.0, {{14200, 15300, 0, 0}, {11200, 11900, 12500, 14000}}, {}},
};

void PrintTo(const RateFigures& r, std::ostream* os) { *os << r.rate; }

enum class Kind { Lowpass, Highpass, HighpassPair };

struct Slot {
    std::string name;
    StepFn fn;
    Kind kind;
    int order;
    double cornerHz;  // of each section for a pair
};

// Corner within 1 %, Butterworth magnitude an octave either side, pass band and stop band.
void checkPassFilter(const Slot& s, double rate) {
    SCOPED_TRACE(s.name);
    const bool highpass = s.kind != Kind::Lowpass;
    const int sections = s.kind == Kind::HighpassPair ? 2 : 1;
    auto gain = [&](double hz) { return gainDbAt(s.fn, hz, rate); };
    auto butterworth = [&](double hz) { return sections * butterworthDb(highpass, s.order, s.cornerHz, hz, rate); };
    // A pair is -3.01 dB per section at its corner, -6.02 dB in all.
    const double corner = findCrossing(gain, sections * kHalfPowerDb, s.cornerHz / 3, std::min(3 * s.cornerHz, 0.49 * rate));
    EXPECT_NEAR(corner / s.cornerHz, 1.0, 0.01) << "measured corner " << corner << " Hz";
    for (double hz : {s.cornerHz / 2, 2 * s.cornerHz}) {
        if (hz < 0.45 * rate) {
            EXPECT_NEAR(gain(hz), butterworth(hz), 0.1) << hz << " Hz";
        }
    }
    if (highpass) {
        EXPECT_NEAR(gain(0.25 * rate), butterworth(0.25 * rate), 0.1) << "a quarter of the rate";
        EXPECT_NEAR(gain(0.49 * rate), 0.0, 0.2) << "near Nyquist";
    } else {
        EXPECT_NEAR(gain(0.0), 0.0, 0.01) << "DC";
        EXPECT_LT(gain(0.49 * rate), -20.0) << "near Nyquist";
    }
}

class Bank : public ::testing::TestWithParam<RateFigures> {
protected:
    const RateFigures& r = GetParam();
    const CoefficientBank& b = coefficientBankFor(r.rate);
    const FilterTemplate& t = b.filterTemplate;
    double laneMismatch = 0;  // stereo slots: lane 1 must mirror lane 0 exactly

    template <class F>
    StepFn lane(const F& f) { return laneOf(f, &laneMismatch); }
    void TearDown() override { EXPECT_EQ(laneMismatch, 0.0); }
};

TEST_P(Bank, LowpassesAndHighpassesRealiseTheirCorners) {
    std::vector<Slot> slots = {
        {"enhancerPost", lane(t.enhancerPost), Kind::Lowpass, 1, 4000},
        {"inputHighpass", lane(t.inputHighpass), Kind::Highpass, 1, 10},
        {"lowBandsSplit", lane(t.lowBandsSplit), Kind::Lowpass, 2, r.lowBandsSplitHz},
        {"band0Lowpass", lane(t.band0Lowpass), Kind::Lowpass, 2, 150},
        {"band1Highpass", lane(t.band1Highpass), Kind::Highpass, 3, 150},
        {"band0Post", lane(t.band0Post), Kind::Lowpass, 1, 150},
        {"lowSumPost", lane(t.lowSumPost), Kind::Lowpass, 1, 425},
        {"band2Highpass", lane(t.band2Highpass), Kind::Highpass, 3, 425},
        {"band2Lowpass", lane(t.band2Lowpass), Kind::Lowpass, 1, r.band2Hz},
        {"band2Post", lane(t.band2Post), Kind::Lowpass, 1, r.band2Hz},
        {"band3Highpass", lane(t.band3Highpass), Kind::HighpassPair, 1, r.band2Hz},
        {"band3Lowpass", lane(t.band3Lowpass), Kind::Lowpass, 1, r.band3Hz},
        {"band3Post", lane(t.band3Post), Kind::Lowpass, 1, r.band3Hz},
        {"band4Highpass", lane(t.band4Highpass), Kind::HighpassPair, 1, r.band3Hz},
        {"band4Lowpass", lane(t.band4Lowpass), Kind::Lowpass, 1, r.band4Hz},
        {"band4Post", lane(t.band4Post), Kind::Lowpass, 1, r.band4Hz},
        {"band5Highpass", lane(t.band5Highpass), Kind::HighpassPair, 1, r.band4Hz},
        {"hfSplit", lane(t.hfSplit), Kind::Highpass, 1, 12000},
        {"deEmphasis50", lane(t.deEmphasis50), Kind::Lowpass, 1, r.deEmphasis50Hz},
        {"deEmphasis75", lane(t.deEmphasis75), Kind::Lowpass, 1, r.deEmphasis75Hz},
        {"hfReductionSmoother", lane(t.hfReductionSmoother), Kind::Lowpass, 1, 32},
        {"clipOvershoot", lane(t.clipOvershoot), Kind::Lowpass, 1, 2000},
        {"postClipOvershoot", lane(t.postClipOvershoot), Kind::Lowpass, 1, 2000},
        {"agcSplitLow", lane(b.agcSplitLow), Kind::Lowpass, 1, 200},
        {"agcSplitHigh", lane(b.agcSplitHigh), Kind::Highpass, 1, 200},
    };
    const double finalHz[] = {15000, 12000, 10000, 8000, 6000, 4000};
    for (int k = 1; k < kFinalIirSets; ++k) {
        slots.push_back({"finalIirSet" + std::to_string(k), lane(b.finalIirSets[k]), Kind::Lowpass, 5, finalHz[k - 1]});
    }
    for (const Slot& s : slots) checkPassFilter(s, r.rate);
}

// The one-pole pairs as a whole: half power at about 1708, 3686 and 8533 Hz at 44100.
TEST(Bank44100, OnePolePairsAreHalfPowerWhereTwoSectionsMeet) {
    const FilterTemplate& t = coefficientBankFor(44100).filterTemplate;
    const std::pair<StereoOnePolePair, double> pairs[] = {
        {t.band3Highpass, 1708}, {t.band4Highpass, 3686}, {t.band5Highpass, 8533}};
    for (const auto& [filter, hz] : pairs) {
        auto gain = [&](double f) { return gainDbAt(laneOf(filter), f, 44100); };
        EXPECT_NEAR(findCrossing(gain, kHalfPowerDb, hz / 2, 2 * hz) / hz, 1.0, 0.015) << hz;
    }
}

TEST_P(Bank, AllpassesHaveTheirGainAndTurnHalfACircleAtTheTableFrequency) {
    struct Allpass { const char* name; StepFn fn; double hz, gain, tolerance; };
    const Allpass allpasses[] = {
        {"highBandsAllpass", lane(t.highBandsAllpass), r.highBandsAllpassHz, r.highBandsAllpassGain, 0.01},
        {"band4Allpass", lane(t.band4Allpass), r.band4AllpassHz, r.band4AllpassGain, 0.01},
        {"phaseShifter", lane(b.phaseShifter), r.phaseShifterHz, r.phaseShifterGain, 0.015},
    };
    for (const Allpass& a : allpasses) {
        SCOPED_TRACE(a.name);
        for (double hz : {a.hz / 4, a.hz, 4 * a.hz, 0.3 * r.rate}) {
            EXPECT_NEAR(std::abs(measureSteady(a.fn, hz, r.rate)), a.gain, 0.001) << hz << " Hz";
        }
        // The phase falls from 0 towards -360 degrees; its sine changes sign at -180.
        auto sinePhase = [&](double hz) {
            const std::complex<double> h = measureSteady(a.fn, hz, r.rate);
            return h.imag() / std::abs(h);
        };
        const double half = findCrossing(sinePhase, 0.0, a.hz / 3, std::min(3 * a.hz, 0.45 * r.rate));
        EXPECT_NEAR(half / a.hz, 1.0, a.tolerance) << "measured 180 degrees at " << half << " Hz";
        EXPECT_LT(measureSteady(a.fn, half, r.rate).real(), 0.0);
    }
}

// Sub-audio one-poles: the exact response from the impulse response (a settled sine at
// 0.0125 Hz would take minutes of samples per point), checked once against a long sine.
TEST_P(Bank, DetectorAndEnvelopeSetsRealiseTheirCorners) {
    struct Slow { std::string name; StepFn fn; bool highpass; double hz; };
    std::vector<Slow> slow = {
        {"agcSmooth", lane(b.agcSmooth), false, 0.1},
        {"enhancerDetector", lane(b.enhancerDetector), false, 4},
        {"enhancerLevel", lane(b.enhancerLevel), false, 4},
        {"enhancerTransient", lane(b.enhancerTransient), true, r.transientHz},
    };
    const double speedHz[kAgcSpeeds] = {0.0125, 0.025, 0.05, 0.1};
    for (int s = 0; s < kAgcSpeeds; ++s) {
        slow.push_back({"agcSpeed" + std::to_string(s + 1), lane(b.agcSpeed[s]), false, speedHz[s]});
    }
    const double envelopeHz[kEnvelopeTimeSets] = {1, 2, 4, 8, 16};
    for (int k = 0; k < kEnvelopeTimeSets; ++k) {
        slow.push_back({"envelopeTimeSet" + std::to_string(k + 1), lane(b.envelopeTimeSets[k]), false, envelopeHz[k]});
    }
    for (const Slow& s : slow) {
        SCOPED_TRACE(s.name);
        const FirstOrderResponse h = firstOrderResponse(s.fn);
        ASSERT_LT(h.tailError, 1e-12);
        auto gain = [&](double hz) { return h.gainDb(hz, r.rate); };
        EXPECT_NEAR(findCrossing(gain, kHalfPowerDb, s.hz / 3, 3 * s.hz) / s.hz, 1.0, 0.01);
        EXPECT_NEAR(gain(s.highpass ? 0.25 * r.rate : 0.0), 0.0, 0.001) << "pass band";
        EXPECT_LT(gain(s.highpass ? s.hz / 10 : 10 * s.hz), -19.0) << "a decade into the stop band";
    }
    // The slowest detector, settled for 20 time constants at its corner.
    const double longSine = gainDbAt(lane(b.agcSpeed[0]), 0.0125, r.rate, 260.0);
    EXPECT_NEAR(longSine, firstOrderResponse(lane(b.agcSpeed[0])).gainDb(0.0125, r.rate), 0.001);
    EXPECT_NEAR(longSine, kHalfPowerDb, 0.043);  // 1 % of frequency on a first-order slope
}

TEST_P(Bank, AgcSplitPartsSumToTheInput) {
    const std::vector<double> low = impulseResponse(lane(b.agcSplitLow), 2000);
    const std::vector<double> high = impulseResponse(lane(b.agcSplitHigh), 2000);
    for (int n = 0; n < 2000; ++n) ASSERT_NEAR(low[n] + high[n], n == 0 ? 1.0 : 0.0, 1e-15) << n;
}

TEST_P(Bank, EmphasisInputFollowsItsCurve) {
    EXPECT_EQ(t.emphasisGain50, r.emphasisGain50);
    EXPECT_EQ(t.emphasisGain75, r.emphasisGain75);
    auto gain = [&](double hz) { return gainDbAt(lane(t.emphasisInput), hz, r.rate) + toDb(1.584); };
    for (const auto& [hz, db] : r.emphasisCurve) EXPECT_NEAR(gain(hz), db, 0.3) << hz << " Hz";
    if (r.rate == 32000) {
        for (double hz = 100; hz <= 14000; hz += 100) {
            EXPECT_GT(gain(hz), -0.05) << hz << " Hz";
            EXPECT_LT(gain(hz), 2.6) << hz << " Hz";
        }
    }
}

// Pre-emphasis with its HF part, p = 1.584 * emphasisInput(x), output p + gain * hfSplit(p),
// composed from the measured complex responses.
TEST(Bank44100, EmphasisPathLiftsTheHighsByTheTableAmounts) {
    const FilterTemplate& t = coefficientBankFor(44100).filterTemplate;
    auto path = [&](double hz, double hfGain) {
        const std::complex<double> p = 1.584 * measureSteady(laneOf(t.emphasisInput), hz, 44100);
        return toDb(std::abs(p * (1.0 + hfGain * measureSteady(laneOf(t.hfSplit), hz, 44100))));
    };
    struct Case { double hfGain, at10kDb, peakDb; };
    for (const Case& c : {Case{t.emphasisGain50, 9.8, 13.1}, Case{t.emphasisGain75, 13.8, 17.3}}) {
        SCOPED_TRACE(c.hfGain);
        EXPECT_NEAR(path(10000, c.hfGain), c.at10kDb, 0.6);
        double peakDb = -100, peakHz = 0;
        for (double hz = 10000; hz <= 16000; hz += 50) {
            const double db = path(hz, c.hfGain);
            if (db > peakDb) peakDb = db, peakHz = hz;
        }
        EXPECT_NEAR(peakDb, c.peakDb, 0.6);
        EXPECT_NEAR(peakHz, 13000, 1000);
    }
}

TEST_P(Bank, DigitalShelfLevels) {
    const StepFn shelf = lane(t.digitalShelf);
    for (double hz : {20.0, 50.0, 100.0}) EXPECT_NEAR(gainDbAt(shelf, hz, r.rate), r.shelfLowDb, 0.2) << hz;
    for (double hz = 8000; hz <= 0.45 * r.rate; hz += 500) {
        EXPECT_NEAR(gainDbAt(shelf, hz, r.rate), r.shelfHighDb, 0.2) << hz;
    }
}

// The final FIRs: linear phase with 11 samples of delay, and their -1/-3/-6/-20 dB points.
TEST_P(Bank, FinalFirSetsHaveTheirResponsePoints) {
    const double sums[kFinalFirSets] = {1.0002, 0.9998};
    for (int k = 0; k < kFinalFirSets; ++k) {
        SCOPED_TRACE(k + 1);
        StereoFir23 fir;
        install(fir, b.finalFirSets[k]);
        const std::vector<double> h = impulseResponse(lane(fir), 40);
        double sum = 0;
        for (int n = 0; n < 40; ++n) {
            sum += h[n];
            EXPECT_EQ(h[n], n < 23 ? h[22 - n] : 0.0) << n;
        }
        EXPECT_NEAR(sum, sums[k], 2e-5);
        EXPECT_EQ(std::max_element(h.begin(), h.end()) - h.begin(), 11);
        const double w = 2 * kPi * 1000.0 / r.rate;  // group delay from the phase at 1 kHz
        EXPECT_NEAR(-std::arg(measureSteady(lane(fir), 1000.0, r.rate)) / w, 11.0, 1e-6);

        // The exact response of the measured impulse response.
        auto gain = [&](double hz) {
            std::complex<double> sumH = 0;
            for (int n = 0; n < 23; ++n) sumH += h[n] * std::polar(1.0, -2 * kPi * hz * n / r.rate);
            return toDb(std::abs(sumH));
        };
        EXPECT_NEAR(gainDbAt(lane(fir), 11000.0, r.rate), gain(11000.0), 1e-6) << "settled sine";
        const FirPoints& p = r.fir[k];
        const double targets[] = {-1, -3, -6, -20}, expected[] = {p.minus1, p.minus3, p.minus6, p.minus20};
        for (int i = 0; i < 4; ++i) {
            double hz = 5000;
            while (hz < 0.5 * r.rate && gain(hz) > targets[i]) hz += 20;
            if (expected[i] == 0) {
                EXPECT_GE(hz, 16000) << targets[i] << " dB";
                continue;
            }
            EXPECT_NEAR(findCrossing(gain, targets[i], hz - 20, hz), expected[i], 150) << targets[i] << " dB";
        }
    }
}

TEST_P(Bank, FinalIirSetZeroPassesTheSignal) {
    const std::vector<double> h = impulseResponse(lane(b.finalIirSets[0]), 20);
    for (int n = 0; n < 20; ++n) EXPECT_EQ(h[n], n == 0 ? 1.0 : 0.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, Bank, ::testing::ValuesIn(kFigures),
                         [](const auto& info) { return std::to_string(info.param.rate); });

// Slots a bank takes over from another rate behave exactly as there.
TEST(BankSharing, SlotsNotRedesignedPerRateMatchTheirSourceBank) {
    const FilterTemplate& t48 = coefficientBankFor(48000).filterTemplate;
    const FilterTemplate& t44 = coefficientBankFor(44100).filterTemplate;
    const FilterTemplate& t32 = coefficientBankFor(32000).filterTemplate;
    auto expectSame = [](const StepFn& a, const StepFn& b, const char* name) {
        const std::vector<double> ha = impulseResponse(a, 256), hb = impulseResponse(b, 256);
        for (int n = 0; n < 256; ++n) ASSERT_NEAR(ha[n], hb[n], 1e-12) << name << " sample " << n;
    };
    expectSame(laneOf(t32.band2Lowpass), laneOf(t44.band2Lowpass), "band2Lowpass");
    expectSame(laneOf(t32.band3Highpass), laneOf(t44.band3Highpass), "band3Highpass");
    expectSame(laneOf(t32.band4Post), laneOf(t44.band4Post), "band4Post");
    expectSame(laneOf(t32.band5Highpass), laneOf(t44.band5Highpass), "band5Highpass");
    expectSame(laneOf(t48.deEmphasis50), laneOf(t44.deEmphasis50), "deEmphasis50");
    expectSame(laneOf(t48.deEmphasis75), laneOf(t44.deEmphasis75), "deEmphasis75");
    expectSame(laneOf(coefficientBankFor(44100).phaseShifter), laneOf(coefficientBankFor(48000).phaseShifter),
               "phaseShifter");
}

TEST(FixedFilters, RealiseTheirResponsesAt44100) {
    const FixedFilters& f = fixedFilters();
    checkPassFilter({"bandOvershoot", laneOf(f.bandOvershoot), Kind::Lowpass, 2, 424.5}, 44100);
    checkPassFilter({"speakerLowpass", laneOf(f.speakerLowpass), Kind::Lowpass, 1, 6000}, 44100);
    for (double hz : {20.0, 50.0}) EXPECT_NEAR(gainDbAt(laneOf(f.speakerShelf), hz, 44100), -0.2, 0.1) << hz;
    for (double hz = 8000; hz <= 20000; hz += 1000) {
        EXPECT_NEAR(gainDbAt(laneOf(f.speakerShelf), hz, 44100), -3.2, 0.2) << hz;
    }
    const auto notch = laneOf(f.reflectionNotch);
    EXPECT_LT(gainDbAt(notch, 7490, 44100), -40.0);
    EXPECT_NEAR(gainDbAt(notch, 1000, 44100), 0.0, 0.1);
    EXPECT_NEAR(gainDbAt(notch, 15000, 44100), 0.0, 0.1);
}

TEST(BankSelection, EveryOtherRateGetsThe32000Bank) {
    EXPECT_EQ(&coefficientBankFor(22050), &coefficientBankFor(32000));
    EXPECT_EQ(&coefficientBankFor(96000), &coefficientBankFor(32000));
    EXPECT_EQ(coefficientBankFor(22050).sampleRate, 32000);
    EXPECT_EQ(coefficientBankFor(48000).sampleRate, 48000);
    EXPECT_EQ(coefficientBankFor(44100).sampleRate, 44100);
}

TEST(BankSelection, InstallingABankZeroesTheDualEnvelopeSets) {
    auto p = std::make_unique<Processor>();
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        for (int n = 0; n < 5; ++n) {
            step(p->envelopes.attack[g], Pair{1.0, 2.0});
            step(p->envelopes.releaseCopy[g], Pair{1.0, 2.0});
        }
    }
    selectCoefficientBank(*p, 22050);
    EXPECT_EQ(p->active.sampleRate, 32000);
    for (int band = 0; band < kBandCount; ++band) {
        for (const OnePole& f : {bandFilter(p->envelopes.attack, band), bandFilter(p->envelopes.releaseCopy, band)}) {
            EXPECT_TRUE(f.b0 == 0 && f.a1 == 0 && f.b1 == 0 && f.x1 == 0 && f.y1 == 0) << "band " << band;
        }
    }
}

}  // namespace
}  // namespace loudara

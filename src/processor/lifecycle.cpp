// Bringing the processor into a known condition: table selection, reset, state clears,
// preparation for a song's rate and the recommended presets.

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <type_traits>

#include "filter_design.h"
#include "parameter_names.h"
#include "processor.h"

namespace loudara {
namespace {

// Zeroes a delay memory in place (they are too large to build a fresh one on the stack).
template <class T>
void zeroFill(T& memory) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memset(static_cast<void*>(&memory), 0, sizeof memory);
}

}  // namespace

Processor::Processor() {
    applyPreset(*this, presetForCommand(232));
    prepareForSong(*this, 44100);
    clearProcessorState(*this);  // installs the virtual speaker's fixed filters
}

Processor& theProcessor() {
    static const std::unique_ptr<Processor> processor = std::make_unique<Processor>();
    return *processor;
}

void selectCoefficientBank(Processor& p, int sampleRate) {
    p.active = coefficientBankFor(sampleRate);
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        p.envelopes.attack[g] = StereoOnePole{};
        p.envelopes.releaseCopy[g] = StereoOnePole{};
    }
}

namespace {

// Time index 1..4 selects its own set; any other value the fastest (16 Hz).
int envelopeSetIndex(double timeSetting) {
    const int k = truncated(timeSetting);
    return (k >= 1 && k <= 4) ? k - 1 : 4;
}

// Puts a table into a filter: `install` (from silence) when a stream starts or the processor is
// reset, `retune` (keeping the state) while a stream runs.
struct Installer {
    template <class To, class From>
    void operator()(To& to, const From& from) const {
        install(to, from);
    }
};
struct Retuner {
    template <class To, class From>
    void operator()(To& to, const From& from) const {
        retune(to, from);
    }
};

template <class Put>
void envelopeTimes(Processor& p, Put put) {
    const int release = envelopeSetIndex(p.params.bandReleaseTime);
    const int attack = envelopeSetIndex(p.params.bandAttackTime);
    const int lookAhead[kEnvelopeTimeSets] = {880, 440, 220, 110, 110};
    const OnePole& releaseSet = p.active.envelopeTimeSets[release];
    const OnePole& attackSet = p.active.envelopeTimeSets[attack];
    const OnePole& crossfadeSet = p.active.envelopeTimeSets[2];  // 4 Hz
    BandEnvelopes& e = p.envelopes;
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        put(e.release[g], releaseSet);
        put(e.gate[g], releaseSet);
        put(e.releaseCopy[g], releaseSet);
        put(e.attack[g], attackSet);
        put(e.crossfade[g], crossfadeSet);
    }
    for (int b = 0; b < kBandCount; ++b) {
        const int32_t before = p.bands[b].lookAheadLength;
        p.bands[b].lookAheadLength = lookAhead[release];
        if constexpr (std::is_same_v<Put, Retuner>) beginLookAheadShift(p, b, before);
    }
    if constexpr (std::is_same_v<Put, Installer>) stopLookAheadShifts(p);
}

template <class Put>
void finalLowpass(Processor& p, Put put) {
    const int k = truncated(p.settings.finalLowpass);
    const int iirSet = (k >= 0 && k <= 5) ? k : 6;
    const int firSet = k == 2 ? 1 : 0;
    // The template keeps the selection too, so that a later reset does not lose it.
    for (FilterTemplate* set : {&p.active.filterTemplate, &p.work}) {
        put(set->finalIir, p.active.finalIirSets[iirSet]);
        put(set->finalFir, p.active.finalFirSets[firSet]);
    }
}

template <class Put>
void bassEq(Processor& p, Put put) {
    const ProcessorSettings& s = p.settings;
    put(p.bassEq, designPeakingEq(s.bassEqFreqHz, s.bassEqGainDb, s.bassEqQ, s.bassEqSampleRate));
}

}  // namespace

void selectEnvelopeTimes(Processor& p) { envelopeTimes(p, Installer{}); }
void selectFinalLowpass(Processor& p) { finalLowpass(p, Installer{}); }
void designBassEq(Processor& p) { bassEq(p, Installer{}); }
void retuneEnvelopeTimes(Processor& p) { envelopeTimes(p, Retuner{}); }
void retuneFinalLowpass(Processor& p) { finalLowpass(p, Retuner{}); }
void retuneBassEq(Processor& p) { bassEq(p, Retuner{}); }

int optionsDelayFrames(const Processor& p) {
    if (p.settings.bypass != 0) return 0;
    int frames = 0;
    if (p.settings.truePeakLimiter == 1) frames += truePeakLimiterDelay(p.truePeakLimiter);
    // The top bands' clippers, the final clipper and the post clip, one after the other.
    if (p.settings.oversampledClipping == 1) frames += 3 * kOversamplingDelay;
    return frames;
}

void clearClipOversamplers(Processor& p) {
    zeroFill(p.finalClipOversampler);
    zeroFill(p.postClipOversampler);
    for (ClipOversampler& band : p.bandClipOversampler) zeroFill(band);
    zeroFill(p.lowerBandsAlign);
    clearState(p.hfReductionBandLimit);
    clearState(p.topBandsReductionBandLimit);
    // The AGC's gains move slowly; the heard ones start where they stand.
    p.agcHeardGain = 1.0 - pairOf(p.params.agcLowReduction, p.params.agcHighReduction) / 23169.0;
    zeroFill(p.bandDetectors);
    zeroFill(p.hfDetector);
    AdaptiveClipPath& a = p.adaptiveClipPath;
    a.lastIn = a.lastOut = OversampledFrame{};
    for (OversampledFrame& frame : a.recent) frame = OversampledFrame{};
    a.lastDelayed = OversampledFrame{};
    a.at = 0;
}

void prepareClipOversamplers(Processor& p) {
    // The base rate's clipOvershoot low-pass, at the high rate.
    // Its four steps over a frame unrolled: the share of each input in each output, found by
    // running it from each input alone.
    const OnePole lowpass = designOnePoleLowpass(2000.0, double(kOversamplingFactor) * p.streamRate);
    const auto shares = [&](OversampledFrame& share, int impulsePhase, double lastIn, double lastOut) {
        double in = lastIn, out = lastOut;
        for (int phase = 0; phase < kOversamplingFactor; ++phase) {
            const double x = phase == impulsePhase ? 1.0 : 0.0;
            out = lowpass.b0 * x + lowpass.b1 * in - lowpass.a1 * out;
            in = x;
            share[phase] = share[4 + phase] = static_cast<float>(out);
        }
    };
    AdaptiveClipPath& a = p.adaptiveClipPath;
    for (int q = 0; q < kOversamplingFactor; ++q) shares(a.fromPhase[q], q, 0.0, 0.0);
    shares(a.fromLastIn, -1, 1.0, 0.0);
    shares(a.fromLastOut, -1, 0.0, 1.0);

    // The heard gains of the HF limiter and of bands 4 and 5 band-limited to 300 Hz: under a
    // millisecond of lag against their look-ahead (1.5 ms and more), while their ripple at the
    // high tones' harmonics (several kHz and up) falls 60 dB and more.
    constexpr double kGainBandLimitHz = 300.0;
    install(p.hfReductionBandLimit, designButterworthLowpass2(kGainBandLimitHz, p.streamRate));
    install(p.topBandsReductionBandLimit, designButterworthLowpass2(kGainBandLimitHz, p.streamRate));
    // The AGC's reductions move at a tenth of a hertz, yet what its detectors fold down from a high
    // tone ripples them some 100 dB down at several kHz; a preset's final low-pass, taking such a
    // tone itself 50 dB and more down, lifts that ripple's products to the level of the aliases
    // this mode removes. A first-order follower at 30 Hz takes the ripple 50 dB further down and
    // lags the AGC by 5 ms.
    constexpr double kAgcHeardHz = 30.0;
    p.agcHeardFollow = 1.0 - std::exp(-2.0 * std::numbers::pi * kAgcHeardHz / p.streamRate);
    clearClipOversamplers(p);
}

void resetProcessor(Processor& p) {
    p.work = p.active.filterTemplate;
    clearTruePeakLimiter(p.truePeakLimiter);
    setTruePeakLimiterSwitch(p.truePeakLimiter, p.settings.truePeakLimiter == 1 && p.settings.bypass == 0);
    clearClipOversamplers(p);
    clearBandMemory(p);
    zeroFill(p.clipperDelay);
    // The emphasis delay lines and the band overshoot filters belong to the working chain as
    // much as the clipper's delay: a reset must not carry the previous song's tail into the next.
    zeroFill(p.emphasisMainDelay);
    zeroFill(p.emphasisHfDelay);
    install(p.bandOvershoot2, fixedFilters().bandOvershoot);
    install(p.bandOvershoot3, fixedFilters().bandOvershoot);
}

void clearProcessorState(Processor& p) {
    for (BandSettings& band : p.bands) {
        band.inputL = band.inputR = 0;
        band.outputL = band.outputR = 0;
        band.reduction = 0;
        band.reductionPeak = 0;
        band.preReductionL = band.preReductionR = 0;
        band.clipFlag = 0;
    }
    ProcessorParams& r = p.params;
    r.agcLowReduction = r.agcHighReduction = 0;
    r.inputPeakL = r.inputPeakR = 0;
    r.outputPeakL = r.outputPeakR = 0;
    r.enhancerPeak = 0;
    r.hfLimitPeak = 0;
    r.hfReductionHold = 0;
    r.hfReductionL = r.hfReductionR = 0;
    r.hfFeedbackL = r.hfFeedbackR = 0;
    p.settings.clipFlagL = p.settings.clipFlagR = 0;

    CoefficientBank& a = p.active;
    clearState(a.agcSplitLow);
    clearState(a.agcSplitHigh);
    clearState(a.agcSmooth);
    for (int s = 0; s < kAgcSpeeds; ++s) clearState(a.agcSpeed[s]);
    clearState(p.bassEq);
    clearState(a.phaseShifter);
    for (int g = 0; g < kEnvelopeGroups; ++g) {
        clearState(p.envelopes.release[g]);
        clearState(p.envelopes.gate[g]);
    }

    // The virtual speaker: filters, pure delays and diffusers with their indices. The diffuser
    // gains and lengths are set again at every block start.
    VirtualSpeakerState& v = p.speaker;
    zeroFill(v);
    for (Diffuser* chain : {v.firstL, v.firstR, v.secondL, v.secondR}) {
        for (int k = 0; k < 3; ++k) chain[k].length = 1;
    }
    const FixedFilters& fixed = fixedFilters();
    install(v.crossShelf, fixed.speakerShelf);
    install(v.crossLowpass, fixed.speakerLowpass);
    for (StereoBiquad* shelf : {&v.firstShelfA, &v.firstShelfB, &v.secondShelfA, &v.secondShelfB}) {
        install(*shelf, fixed.speakerShelf);
    }
    install(v.firstNotch, fixed.reflectionNotch);
    install(v.secondNotch, fixed.reflectionNotch);
}

void clearEnhancerDelay(Processor& p) { zeroFill(p.enhancer.delay); }

void clearBandMemory(Processor& p) {
    for (BandMemory& memory : p.bandMemory) zeroFill(memory);
    for (LookAheadShift& shift : p.lookAheadShifts) shift.phase = ShiftPhase::Idle;
    zeroFill(p.reductionDelay);
}

void prepareForSong(Processor& p, int sampleRate) {
    selectCoefficientBank(p, sampleRate);
    resetProcessor(p);
    selectEnvelopeTimes(p);
    selectFinalLowpass(p);
    p.settings.bassEqSampleRate = sampleRate;
    designBassEq(p);
    p.streamRate = sampleRate;
    p.dither = Dither{};
    prepareTruePeakLimiter(p.truePeakLimiter, sampleRate);
    prepareClipOversamplers(p);
}

void applyFirstStart(Processor& p) {
    constexpr double kFirstStartGateDb = -36.0;
    constexpr int kDefaultPresetCommand = 232;
    for (BandSettings& band : p.bands) band.gateDb = kFirstStartGateDb;
    resetProcessor(p);
    selectPresetById(p, kDefaultPresetCommand);
    initVirtualSpeaker(p);
    selectEnvelopeTimes(p);
}

void prepare(Processor& p, int sampleRate) {
    clearEnhancerDelay(p);
    clearBandMemory(p);
    prepareForSong(p, sampleRate);
}

int chainLatencyFrames(const Processor& p) {
    // 893 = the longest look-ahead (880) + 13: the band paths delay by the same 898 samples
    // whatever the look-ahead, so a shorter look-ahead must not shorten the lead-in.
    int frames = 880 + 13;
    if (adaptiveClipper(p.params.clipType)) frames += 3;
    if (emphasisActive(p.params.preEmphasis)) frames += 66;
    const int lowpass = truncated(p.settings.finalLowpass);
    if (lowpass == 1 || lowpass == 2) frames += 12;
    return frames + optionsDelayFrames(p);
}

void reset(Processor& p) {
    clearEnhancerDelay(p);
    clearBandMemory(p);
    resetProcessor(p);
    clearProcessorState(p);
}

void applyPreset(Processor& p, const PresetRecord& preset) {
    for (const ParameterInfo& info : soundParameters()) {
        for (int b = 0; b < bandsOf(info); ++b) {
            if (info.presetRow) setParameterValue(p, info, b, (preset.*info.presetRow)[b]);
            if (info.presetValue) setParameterValue(p, info, b, preset.*info.presetValue);
            if (info.presetSwitch) setParameterValue(p, info, b, preset.*info.presetSwitch);
        }
    }
    ProcessorParams& r = p.params;
    ProcessorSettings& s = p.settings;
    r.spareB = preset.spareB;
    r.spareC = preset.spareC;
    r.agcLowReduction = r.agcHighReduction = 0;
    r.hfReductionL = r.hfReductionR = 0;
    r.hfFeedbackL = r.hfFeedbackR = 0;
    r.hfReductionHold = 0;
    s.bassEqSampleRate = 44100;  // until the next prepareForSong sets the stream's rate
    selectEnvelopeTimes(p);
    designBassEq(p);
    selectFinalLowpass(p);

    const size_t length = strnlen(preset.description, sizeof preset.description - 1);
    std::memset(s.presetDescription, 0, sizeof s.presetDescription);
    std::memcpy(s.presetDescription, preset.description, length);
}

void selectPresetById(Processor& p, int commandId) { applyPreset(p, presetForCommand(commandId)); }

void initVirtualSpeaker(Processor& p) {
    p.settings.speakerSpacingCm = 18;
    p.settings.roomDistanceM = 10;
    p.settings.reflectionPercent = 40;
    p.settings.channelMode = 1;
}

}  // namespace loudara

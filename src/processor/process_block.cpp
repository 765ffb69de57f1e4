// The block processor: interleaved stereo in, processed stereo out, through the whole chain in
// double precision at 16-bit scale, run after run of frames. One chain serves two sample types:
// 16-bit samples (processBlock) and float samples at full scale 1.0 (processBlockFloat).

#include <type_traits>

#include "band_dynamics.h"
#include "chain_helpers.h"
#include "level_stages.h"
#include "oversampled_clipper.h"
#include "parameter_names.h"
#include "processor.h"
#include "stereo_stages.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

// The oversampled clippers' 8-lane frames pass between functions inlined into the entries below,
// never across compiled units, so GCC's note on their passing with and without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {
namespace {

constexpr double kMixFactor = 0.891;
constexpr double kOutputClamp = 32760.0;
constexpr double kOverFlagLevel = 32020.0;

BlockValues blockStartValues(Processor& p) {
    // A level that is NaN or far outside its knob (from a damaged file or a careless caller) would
    // run the chain's states to infinity and hold the output at full scale for good.
    keepLevelsInRange(p);
    const ProcessorParams& r = p.params;
    ProcessorSettings& s = p.settings;
    BlockValues v;
    v.agcGainFactor = dbToLinear(r.agcDepthDb);
    v.agcThreshold = dbToLinear(r.agcThresholdDb) * 32767.0;
    v.finalClipLevel = dbToLinear(r.finalClipDb) * 32000.0;
    v.enhancerFactor = dbToLinear(r.enhancerDepthDb);
    v.hfThreshold = dbToLinear(r.hfLimitThresholdDb) * 32767.0;
    v.hfFactor = dbToLinear(r.hfLimitDepthDb);
    v.postClipLevel = dbToLinear(r.postClipDb) * 32767.0;
    v.agcSpeed = agcSpeedIndex(r.agcSpeed);
    if (!(s.normalizeGain >= 1.0)) s.normalizeGain = 1.0;
    if (s.normalizeGain > 16.0) s.normalizeGain = 16.0;
    v.normalizeGain = s.normalizeGain;
    for (int b = 0; b < kBandCount; ++b) v.band[b] = deriveBand(p.bands[b]);
    v.lowSumClipRatio = lowSumClipRatio(r.bassClipMode);
    v.agcCeiling = 23169.0 - v.agcThreshold;

    v.bypass = s.bypass != 0;
    v.enhancerOn = s.enhancerOn == 1;
    v.phaseShifterOn = s.phaseShifterOn == 1 && !v.bypass;
    v.bassEqOn = s.bassEqGainDb != 0.0 && s.bassEqOff == 0 && !v.bypass;
    v.virtualSpeakerOn = s.virtualSpeakerOn == 1;
    v.gateOn = s.gateOn != 0;
    v.emphasisOn = emphasisActive(r.preEmphasis);
    v.emphasis50 = r.preEmphasis == 1.0;
    v.deEmphasisOn = v.emphasisOn && s.deEmphasisOn == 1;
    v.adaptiveClipper = adaptiveClipper(r.clipType);
    const int lowpass = truncated(s.finalLowpass);
    v.finalFir = lowpass == 1 || lowpass == 2;
    v.preEmphasisTruncated = truncated(r.preEmphasis);
    v.enhancerMode = rounded(r.enhancerMode);
    v.channelMode = s.channelMode;
    v.band4SideChainFactor = v.preEmphasisTruncated == 0 ? 0.3 : 0.21;
    v.band5SideChainFactor = v.preEmphasisTruncated != 0 ? 0.707 : 1.0;

    const double rate = p.streamRate;
    v.enhancerDelay = truncatedWithin(rate / 1000.0 * r.enhancerDelayMs, 1, kEnhancerDelayCapacity - 1);
    // Speed of sound 34000 cm/s and 340 m/s; the far reflections travel 1.2 times as far.
    v.speakerCrossDelay = truncatedWithin(s.speakerSpacingCm / 34000.0 * rate, 1, kSpeakerDelayCapacity);
    v.speakerNearDelay = truncatedWithin(s.roomDistanceM / 340.0 * rate, 1, 4700);
    v.speakerFarDelay = truncatedWithin(s.roomDistanceM / 340.0 * rate * 1.2, 1, 4700);
    // Counted in 44.1 kHz samples at every rate; 0 ms and 1 ms both give a delay line of 1.
    v.reductionDelay = truncatedWithin(p.bands[0].reductionDelayMs * 44.1, 1, kReductionDelayCapacity - 1);
    v.truePeakLimiter = s.truePeakLimiter == 1 && !v.bypass;
    v.truePeakCeiling = dbToLinear(s.truePeakCeilingDb - kLimiterMarginDb) * 32768.0;
    v.oversampledClipping = s.oversampledClipping == 1 && !v.bypass;
    if (v.oversampledClipping && !p.clipOversamplersRunning) clearClipOversamplers(p);
    p.clipOversamplersRunning = v.oversampledClipping;
    return v;
}

// Sets flush-to-zero and denormals-are-zero for the duration of a block, so that decaying
// filter states cost nothing when the music stops.
class DenormalGuard {
public:
#if defined(__SSE__)
    DenormalGuard() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
    ~DenormalGuard() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#endif
};

inline int16_t toSample(double x) { return static_cast<int16_t>(static_cast<int32_t>(x)); }

// The chain's scale: a 16-bit value v is the chain value v, a float x is x * 32768 (exact).
constexpr double kFloatScale = 32768.0;

// Reading a frame into the chain and writing one out (with the output meters), for each sample
// type.
inline Pair readFrame(const int16_t* in) { return pairOf(in[0], in[1]); }

// A float song may hold what no 16-bit one can: not-a-number reads as silence and anything
// beyond 4.0 (+12 dBFS, infinities included) as 4.0, so that one damaged value cannot run the
// chain's states to infinity for every later block of either entry.
constexpr double kFloatInputLimit = 4.0 * kFloatScale;

inline Pair readFrame(const float* in) {
    Pair x = pairOf(in[0], in[1]) * kFloatScale;
    x = x == x ? x : Pair{};
    return hardClip(x, kFloatInputLimit);
}

inline void writeFrame(int16_t* out, Pair o, ProcessorParams& r) {
    out[0] = toSample(o[0]);
    out[1] = toSample(o[1]);
    r.outputPeakL = maxOf(r.outputPeakL, std::fabs(static_cast<double>(out[0])));
    r.outputPeakR = maxOf(r.outputPeakR, std::fabs(static_cast<double>(out[1])));
}

// The value toSample would get, back at float scale (rounded to the nearest float); the meters
// see it unrounded.
inline void writeFrame(float* out, Pair o, ProcessorParams& r) {
    out[0] = static_cast<float>(o[0] / kFloatScale);
    out[1] = static_cast<float>(o[1] / kFloatScale);
    r.outputPeakL = maxOf(r.outputPeakL, std::fabs(o[0]));
    r.outputPeakR = maxOf(r.outputPeakR, std::fabs(o[1]));
}

// The whole chain over `frames` frames of interleaved stereo of either sample type, with the
// block-start values `start`. Every call is inlined into an entry below, so each entry is
// compiled for its own sample type alone, and once with oversampled clipping and once without,
// so that the plain chain carries none of the option's work.
template <class Sample, bool kOversampledClipping>
inline void runFrames(Processor& p, const BlockValues& start, int32_t frames, const Sample* input, Sample* output) {
    BlockValues v = start;
    v.oversampledClipping = kOversampledClipping;
    setDiffusers(p.speaker);
    ProcessorParams& r = p.params;
    ProcessorSettings& s = p.settings;
    FilterTemplate& f = p.work;
    BandSettings* bands = p.bands;

    // Every stage depends on earlier frames only through its own state, so the chain can take a
    // run of frames through one group of stages before the next group. Each loop below is one
    // group: long enough for the processor to overlap the work of neighbouring frames, short
    // enough that the feedback loops of the AGC, the HF limiter and the band reductions (a
    // division, a square root and several filters from one frame to the next) have the band
    // filters and signal paths to overlap with. The diffusers and the FIR run over the whole run.
    Pair chain[kRunFrames];
    Pair bypassedInput[kRunFrames];
    SpeakerRun speaker;
    Pair bandInput[kRunFrames][kBandCount];
    // With oversampled clipping on: the lower bands' sum and the top bands' stage inputs.
    Pair lowerMix[kRunFrames];
    Pair topStageInput[kRunFrames][kBandCount - kFirstOversampledBand];
    for (int32_t start = 0; start < frames; start += kRunFrames) {
        const int32_t n = frames - start < kRunFrames ? frames - start : kRunFrames;
        const Sample* in = input + 2 * start;
        Sample* out = output + 2 * start;

        for (int32_t i = 0; i < n; ++i) {
            Pair x = readFrame(in + 2 * i);
            if (!v.bypass) {
                if (v.channelMode == 2.0) {
                    x[0] = 0.0;
                } else if (v.channelMode == 0.0) {
                    x[1] = 0.0;
                }
            }
            x += nextDither(p.dither) / 8192.0;
            bypassedInput[i] = x;

            x = step(f.inputHighpass, x);
            r.inputPeakL = maxOf(r.inputPeakL, std::fabs(x[0]));
            r.inputPeakR = maxOf(r.inputPeakR, std::fabs(x[1]));

            x = stereoEnhancer(p, v, x);
            if (v.phaseShifterOn) x = step(p.active.phaseShifter, x);
            if (v.bassEqOn) x = step(p.bassEq, x);
            if (v.virtualSpeakerOn) speakerFeeds(p, v, x, speaker, i);
            chain[i] = x;
        }
        if (v.virtualSpeakerOn) speakerDiffusers(p.speaker, speaker, n);

        for (int32_t i = 0; i < n; ++i) {
            Pair x = chain[i];
            if (v.virtualSpeakerOn) x = speakerMix(p, speaker, i, x);
            x = widebandAgc(p, v, x);

            r.hfReductionL = r.hfReductionR = 0.0;
            x = v.emphasisOn ? emphasisAndHfLimiter(p, v, x) : step(f.digitalShelf, x);

            // Bands 0 and 1 take the low split, bands 2 to 5 the high split.
            const Pair lowBands = step(f.lowBandsSplit, x);
            const Pair highBands = step(f.highBandsAllpass, x);
#pragma GCC unroll 6
            for (int b = 0; b < kBandCount; ++b) {
                const Pair in = b < 2 ? lowBands : highBands;
                bands[b].inputL = in[0];
                bands[b].inputR = in[1];
                bandInput[i][b] = bandFilter(p, b, in * v.band[b].driveFactor);
            }
        }

        // A retune's look-ahead shift (look_ahead_shift.h) takes the bands' other path, from the
        // run in which it starts to the run in which it ends; the run is compiled for each path,
        // so the ordinary one checks nothing per frame.
        const auto bandRun = [&](auto shifting) {
            for (int32_t i = 0; i < n; ++i) {
                const Pair (&filtered)[kBandCount] = bandInput[i];
                const ReductionGains gains = reductionGains(p.bands);
                double gain[kBandCount];
#pragma GCC unroll 6
                for (int b = 0; b < kBandCount; ++b) gain[b] = bandSideChain(p, b, v, filtered[b], gains.band[b]);
                if (v.oversampledClipping) bandLimitGains(p, gain);

                // Detectors: bands 0..3 see only themselves; band 4 also sees band 3 and band 5 sees
                // band 4, so a loud lower band pulls the next band's reduction up with it.
                const Pair band4Side = pairOf(bands[3].preReductionL, bands[3].preReductionR) * v.band4SideChainFactor;
                Pair band5Side = pairOf(bands[4].preReductionL, bands[4].preReductionR);
                if (v.preEmphasisTruncated != 0) band5Side *= v.band5SideChainFactor;
                double detector[kBandCount] = {
                    bandDetector(bands[0], v.band[0], Pair{}),   bandDetector(bands[1], v.band[1], Pair{}),
                    bandDetector(bands[2], v.band[2], Pair{}),   bandDetector(bands[3], v.band[3], Pair{}),
                    bandDetector(bands[4], v.band[4], band4Side), bandDetector(bands[5], v.band[5], band5Side),
                };
                if (v.oversampledClipping) {
                    const Pair sides[kBandCount] = {Pair{}, Pair{}, Pair{}, Pair{}, band4Side, band5Side};
#pragma GCC unroll 2
                    for (int b = kFirstOversampledBand; b < kBandCount; ++b) {
                        detector[b] = twiceRateBandDetector(bands[b], v.band[b], sides[b], p.bandDetectors[b]);
                    }
                }
                bandReductions(p, v, detector);

                bandGates(p, v, filtered);

                bandOutput(p, 0, v, filtered[0], gain[0], shifting);
                bandOutput(p, 1, v, filtered[1], gain[1], shifting);
                // The low sum: bands 0 and 1 clipped together at band 1's clip level.
                Pair lowSum = pairOf(bands[1].outputL + bands[0].outputL, bands[1].outputR + bands[0].outputR);
                const double lowClip = v.band[1].clipLevel;
                lowSum = pairOf(softClip(lowSum[0], lowClip, v.lowSumClipRatio, bands[1].clipFlag),
                                softClip(lowSum[1], lowClip, v.lowSumClipRatio, bands[1].clipFlag));
                lowSum = step(f.lowSumPost, lowSum);
                bands[1].outputL = lowSum[0];
                bands[1].outputR = lowSum[1];
                constexpr bool kDeferTop = kOversampledClipping && !decltype(shifting)::value;
#pragma GCC unroll 4
                for (int b = 2; b < (kDeferTop ? kFirstOversampledBand : kBandCount); ++b) {
                    bandOutput(p, b, v, filtered[b], gain[b], shifting);
                }

                if (v.oversampledClipping) {
                    // Bands 4 and 5 come kOversamplingDelay frames late; the others wait for them.
                    const Pair lower = step(p.lowerBandsAlign,
                                            pairOf(bands[2].outputL, bands[2].outputR) +
                                                pairOf(bands[3].outputL, bands[3].outputR) + lowSum,
                                            kOversamplingDelay);
                    if constexpr (kDeferTop) {
                        lowerMix[i] = lower;
                        for (int b = kFirstOversampledBand; b < kBandCount; ++b) {
                            topStageInput[i][b - kFirstOversampledBand] =
                                bandStageInput(p, b, v.normalizeGain, filtered[b], gain[b]);
                        }
                    } else {
                        const Pair top =
                            pairOf(bands[4].outputL, bands[4].outputR) + pairOf(bands[5].outputL, bands[5].outputR);
                        chain[i] = (lower + top) * kMixFactor;
                    }
                } else {
                    chain[i] = (pairOf(bands[2].outputL, bands[2].outputR) + pairOf(bands[3].outputL, bands[3].outputR) +
                                pairOf(bands[4].outputL, bands[4].outputR) + pairOf(bands[5].outputL, bands[5].outputR) +
                                lowSum) *
                               kMixFactor;
                }
            }
        };
        if (lookAheadShifting(p)) [[unlikely]] {
            bandRun(std::true_type{});
        } else {
            bandRun(std::false_type{});
            if constexpr (kOversampledClipping) {
                // The top bands' output stages, which the band loop left to this one.
                for (int32_t i = 0; i < n; ++i) {
                    const Pair top = bandStageOutput(p, 4, v.band[4], topStageInput[i][0], true) +
                                     bandStageOutput(p, 5, v.band[5], topStageInput[i][1], true);
                    chain[i] = (lowerMix[i] + top) * kMixFactor;
                }
            }
        }

        for (int32_t i = 0; i < n; ++i) {
            chain[i] = v.oversampledClipping ? oversampledFinalClipper(p, v, chain[i]) : finalClipper(p, v, chain[i]);
            if (!v.finalFir) chain[i] = step(f.finalIir, chain[i]);
        }
        if (v.finalFir) stepRun(f.finalFir, chain, n);

        for (int32_t i = 0; i < n; ++i) {
            Pair x = chain[i];

            x = v.oversampledClipping ? oversampledPostClip(p, v, x) : postClip(p, v, x);

            if (std::fabs(x[0]) > kOverFlagLevel) s.clipFlagL = 1;
            if (std::fabs(x[1]) > kOverFlagLevel) s.clipFlagR = 1;

            if (v.deEmphasisOn) x = v.emphasis50 ? step(f.deEmphasis50, x) : step(f.deEmphasis75, x);

            x = hardClip(x, kOutputClamp);
            x = switchedTruePeakLimiter(p.truePeakLimiter, x, v.truePeakLimiter, v.truePeakCeiling);
            const Pair o = v.bypass ? bypassedInput[i] : x;
            writeFrame(out + 2 * i, o, r);
        }
    }
}

template <class Sample>
inline void processFrames(Processor& p, int32_t frames, const Sample* input, Sample* output) {
    DenormalGuard guard;
    const BlockValues v = blockStartValues(p);
    if (v.oversampledClipping) {
        runFrames<Sample, true>(p, v, frames, input, output);
    } else {
        runFrames<Sample, false>(p, v, frames, input, output);
    }
}

}  // namespace

// Both entries are flattened, so the whole chain is compiled into each entry and each of its
// clones. The x86-64-v4 clone has 32 vector registers, so fewer filter states spill between
// stages. clang (the fuzzing build) cannot clone a flattened function; it builds the default
// path only.
#if defined(__clang__)
#define CHAIN_ENTRY __attribute__((flatten))
#else
#define CHAIN_ENTRY __attribute__((target_clones("arch=x86-64-v4", "avx2", "default"), flatten))
#endif

CHAIN_ENTRY
void processBlock(Processor& p, int32_t sampleCount, const int16_t* input, int16_t* output) {
    const int32_t frames = sampleCount / 2;
    if (frames > 0) processFrames(p, frames, input, output);
}

CHAIN_ENTRY
void processBlockFloat(Processor& p, int32_t sampleCount, const float* input, float* output) {
    const int32_t frames = sampleCount / 2;
    if (frames > 0) processFrames(p, frames, input, output);
}

#undef CHAIN_ENTRY

}  // namespace loudara

#pragma once
// The whole state of the sound processor in one plain struct: the parameter set, the installed
// coefficient tables, the working filters and every delay memory of the chain. It never
// allocates after construction; it is large (about 0.9 MB), so create it on the heap or as a
// static. The program has exactly one (theProcessor()); tests, benchmarks and the command-line
// tool may create their own.

#include <cstdint>

#include "coefficient_bank.h"
#include "filters.h"
#include "look_ahead_shift.h"
#include "params.h"
#include "oversampled_clipper.h"
#include "true_peak_limiter.h"
#include "twice_rate_detector.h"

namespace loudara {

inline constexpr int kLookAheadCapacity = 900;
inline constexpr int kReductionDelayCapacity = 4800;
inline constexpr int kEnhancerDelayCapacity = 2200;
inline constexpr int kSpeakerDelayCapacity = 4800;
inline constexpr int kEmphasisDelayLength = 66;
inline constexpr int kClipperDelayLength = 3;
inline constexpr int kBandDelaySamples = 898;  // every band path, whatever the look-ahead
inline constexpr int kFirstOversampledBand = 4;  // bands clipped at four times the rate with oversampled clipping on

// Delay memory of one band; left and right share each line's index since they always step
// together with the same length. While a retune moves the look-ahead (Processor::lookAheadShifts),
// the lines are read as queues.
struct BandMemory {
    DelayLine<Pair, kLookAheadCapacity> lookAhead;
    DelayLine<Pair, kLookAheadCapacity> compensation;
};

struct EnhancerState {
    DelayLine<double, kEnhancerDelayCapacity> delay;
};

// The virtual speaker's delays, diffusers and fixed filters.
struct VirtualSpeakerState {
    StereoBiquad crossShelf;               // speakerShelf on the cross-feed
    StereoOnePole crossLowpass;            // speakerLowpass on the cross-feed
    PureDelay<Pair, kSpeakerDelayCapacity> crossDelay;
    PureDelay<double, kSpeakerDelayCapacity> roomNearL, roomNearR;  // dr, dr + 98
    PureDelay<double, kSpeakerDelayCapacity> roomFarL, roomFarR;    // df, df + 98
    Diffuser firstL[3], firstR[3], secondL[3], secondR[3];
    StereoBiquad firstNotch, secondNotch;  // reflectionNotch
    StereoBiquad firstShelfA, firstShelfB, secondShelfA, secondShelfB;  // speakerShelf twice in series
    PureDelay<Pair, kSpeakerDelayCapacity> firstFarDelay;   // 30 samples
    PureDelay<Pair, kSpeakerDelayCapacity> secondFarDelay;  // 6 samples
};

// The envelope filters of the six bands. All bands share the same coefficients, so they are kept
// two bands to a Pair: group 0 holds bands 1 and 2, group 1 bands 3 and 4, group 2 bands 5 and 0.
// Band 0 has no dual envelope; its lane of the attack, releaseCopy and crossfade groups runs
// but is never read.
inline constexpr int kEnvelopeGroups = 3;
struct BandLane {
    int group;
    int lane;
};
inline constexpr BandLane kBandLane[kBandCount] = {{2, 1}, {0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}};

struct BandEnvelopes {
    StereoOnePole release[kEnvelopeGroups];      // each band's envelope filter (bandReleaseTime)
    StereoOnePole gate[kEnvelopeGroups];         // each band's gate filter (same coefficients)
    StereoOnePole attack[kEnvelopeGroups];       // dual envelope: fast set (bandAttackTime)
    StereoOnePole releaseCopy[kEnvelopeGroups];  // dual envelope: plain slow copy
    StereoOnePole crossfade[kEnvelopeGroups];    // dual envelope: smoothing, always 4 Hz
};

// One band's lane of a group filter, as a single-channel filter.
inline OnePole bandFilter(const StereoOnePole (&group)[kEnvelopeGroups], int band) {
    const StereoOnePole& f = group[kBandLane[band].group];
    const int lane = kBandLane[band].lane;
    OnePole one;
    one.b0 = f.b0[lane];
    one.a1 = f.a1[lane];
    one.b1 = f.b1[lane];
    one.x1 = f.x1[lane];
    one.y1 = f.y1[lane];
    return one;
}

// Dither source: a deterministic 32-bit generator drawn once per frame for a value 0..255,
// restarted by prepareForSong so the same song with the same settings exports to the same bytes.
struct Dither {
    static constexpr uint32_t kSeed = 0x2545F491u;
    uint32_t state = kSeed;
};

inline int nextDither(Dither& d) {
    // xorshift32; the top eight bits are the draw.
    uint32_t x = d.state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    d.state = x;
    return static_cast<int>(x >> 24);
}

struct Processor {
    // The parameter set.
    BandSettings bands[kBandCount] = {defaultBandSettings(0), defaultBandSettings(1), defaultBandSettings(2),
                                      defaultBandSettings(3), defaultBandSettings(4), defaultBandSettings(5)};
    ProcessorParams params;
    ProcessorSettings settings;

    // The rate the processor was last prepared for; the enhancer and virtual speaker compute
    // their delay lengths from it.
    int32_t streamRate = 44100;

    // Installed tables (selectCoefficientBank) and the working filter set copied from its
    // template (resetProcessor).
    CoefficientBank active;
    FilterTemplate work;
    StereoBiquad bassEq;                 // designBassEq
    BandEnvelopes envelopes;             // selectEnvelopeTimes
    StereoBiquad bandOvershoot2, bandOvershoot3;

    // Delay memories.
    BandMemory bandMemory[kBandCount];
    DelayLine<double, kReductionDelayCapacity> reductionDelay;  // band 0
    DelayLine<Pair, kEmphasisDelayLength> emphasisMainDelay, emphasisHfDelay;
    DelayLine<Pair, kClipperDelayLength> clipperDelay;
    EnhancerState enhancer;
    VirtualSpeakerState speaker;

    Dither dither;

    TruePeakLimiter truePeakLimiter;  // settings.truePeakLimiter

    // settings.oversampledClipping: the final clipper's and the post clip's high-rate paths, and
    // whether they ran in the last block (a path switched on again starts from silence, as do all
    // the states below).
    ClipOversampler finalClipOversampler, postClipOversampler;
    AdaptiveClipPath adaptiveClipPath;
    bool clipOversamplersRunning = false;
    // With it on, the clippers of bands 4 and 5 run at the high rate too (the other bands wait
    // for them), the AGC's, the HF limiter's and the top bands' gains are band-limited before they
    // are heard, and the HF limiter's and the top bands' detectors rectify at twice the rate.
    ClipOversampler bandClipOversampler[kBandCount - kFirstOversampledBand];
    PureDelay<Pair, kOversamplingDelay> lowerBandsAlign;
    StereoBiquad hfReductionBandLimit;
    StereoBiquad topBandsReductionBandLimit;  // bands 4 and 5
    // The AGC's low and high gains as heard: y += agcHeardFollow * (gain - y).
    Pair agcHeardGain{1.0, 1.0};
    double agcHeardFollow = 0;
    DetectorHistory bandDetectors[kBandCount];
    PairDetectorHistory hfDetector;

    // The bands' look-ahead moving after a retune of the release time; cleared with the band
    // memories.
    LookAheadShift lookAheadShifts[kBandCount];

    Processor();
};

// The program's processor.
Processor& theProcessor();

// Processing: sampleCount 16-bit samples of interleaved stereo (odd last sample ignored). The
// output may be the input buffer.
void processBlock(Processor& p, int32_t sampleCount, const int16_t* input, int16_t* output);

// The same chain on float samples, for songs and outputs finer than 16 bits. sampleCount counts
// interleaved float values exactly as processBlock counts 16-bit ones (odd last value ignored);
// the output may be the input buffer. Full scale is 1.0: a float x enters the chain as the
// 16-bit value x * 32768, so a 16-bit v fed as v / 32768.0f is exactly processBlock's input v
// (and a 24-bit w fed as w / 8388608.0f keeps all its bits). The output is the value
// processBlock would round to its 16-bit sample, divided by 32768 and rounded to the nearest
// float: processBlock's sample is that value truncated toward zero, unless the float rounding
// reached the next whole 16-bit step. Both entries share the processor's state: a stream may
// switch between them at any block. The output meters see the unrounded value. The processed
// output stays within +-32760/32768; with settings.bypass the input comes through with the
// dither added (0 to 255/8192 of a 16-bit step) and nothing else. Input values beyond +-4.0
// are read as +-4.0 and not-a-number as 0.
void processBlockFloat(Processor& p, int32_t sampleCount, const float* input, float* output);

// Frames the output lags behind the chain's own delay because of the options: the true-peak
// limiter's look-ahead and interpolator when it is on, and with oversampled clipping on the
// filters of the band clippers, the final clipper and the post clip, one after the other; 0 with
// both off (or bypassed).
int optionsDelayFrames(const Processor& p);

// The oversampled clippers' filters and delays back to silence; prepare also designs the
// adaptive clipper's high-rate low-pass for the processor's rate.
void clearClipOversamplers(Processor& p);
void prepareClipOversamplers(Processor& p);

// Table selection (each resets the state of the filters it rewrites).
void selectCoefficientBank(Processor& p, int sampleRate);
void selectEnvelopeTimes(Processor& p);
void selectFinalLowpass(Processor& p);
void designBassEq(Processor& p);
// The same tables installed while a stream runs: the filters keep their state, so a knob turned
// during playback or ON-AIR changes the sound from the next sample on without a click. A new
// release time also moves the bands' look-ahead, gradually (look_ahead_shift.h): within 50 ms
// at 48 kHz, the sound's delay unchanged.
void retuneEnvelopeTimes(Processor& p);
void retuneFinalLowpass(Processor& p);
void retuneBassEq(Processor& p);

// Lifecycle.
void resetProcessor(Processor& p);
void clearProcessorState(Processor& p);
void clearEnhancerDelay(Processor& p);
void clearBandMemory(Processor& p);
void prepareForSong(Processor& p, int sampleRate);
void applyPreset(Processor& p, const PresetRecord& preset);
void selectPresetById(Processor& p, int commandId);
void initVirtualSpeaker(Processor& p);

// The processor as a first start of the program leaves it before its current-settings file is
// read: every band's gate at -36 dB, the processor reset, preset 232 applied, the virtual speaker
// initialised and the envelope times installed.
void applyFirstStart(Processor& p);

// The two calls a caller of the processor needs, with the steps above in their order.
// prepare: before the first block of a stream at `sampleRate` (a song's or ON-AIR's): the
// enhancer delay and the band memories cleared, then prepareForSong.
void prepare(Processor& p, int sampleRate);
// reset: between two streams: every delay memory, working filter, meter and reduction back to
// silence (resetProcessor and clearProcessorState); the tables and the parameters are kept.
void reset(Processor& p);

// The chain's delay in frames with the current settings: an input frame's processed sound leaves
// the chain this many frames later. An export drops this many frames at the start and runs the
// same number of frames of silence through at the end; a plugin reports it to its host.
int chainLatencyFrames(const Processor& p);

}  // namespace loudara

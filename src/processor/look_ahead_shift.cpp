// The look-ahead shift of a band (see look_ahead_shift.h): the lines as queues, the phases, and
// the lines laid out as delay lines again.

#include "look_ahead_shift.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "band_dynamics.h"
#include "processor.h"

// (The band stages' 8-lane frames pass between inline functions only: see oversampled_clipper.h.)
#pragma GCC diagnostic ignored "-Wpsabi"

namespace loudara {
namespace {

constexpr int32_t kGainMask = kShiftGainCapacity - 1;
static_assert((kShiftGainCapacity & kGainMask) == 0, "a power of two");
static_assert(kShiftGainCapacity > kLookAheadCapacity, "holds any change of alignment");

using Line = DelayLine<Pair, kLookAheadCapacity>;

// A delay line of `length` holds its last length - 1 inputs, the one a frames old at
// (index - a) mod length, so the oldest at index + 2. They become a queue from the buffer's start.
LineQueue toQueue(Line& line, int32_t length) {
    const int32_t newest = line.index % length;  // an install may have shortened the line since it ran
    std::rotate(line.buffer, line.buffer + (newest + 2) % length, line.buffer + length);
    return LineQueue{0, length - 1};
}

// The queue laid out as a delay line of `length`: its newest length - 1 values, silence before
// them when it holds fewer, oldest at 0, and the index on the newest.
void toDelayLine(Line& line, LineQueue q, int32_t length) {
    std::rotate(line.buffer, line.buffer + q.head, line.buffer + kLookAheadCapacity);
    const int32_t kept = std::min(q.count, length - 1);
    const int32_t silent = length - 1 - kept;
    std::memmove(static_cast<void*>(line.buffer + silent), line.buffer + (q.count - kept), kept * sizeof(Pair));
    std::fill(line.buffer, line.buffer + silent, Pair{});
    std::fill(line.buffer + length - 1, line.buffer + kLookAheadCapacity, Pair{});
    line.index = length - 2;
}

void push(Line& line, LineQueue& q, Pair x) {
    int32_t at = q.head + q.count;
    if (at >= kLookAheadCapacity) at -= kLookAheadCapacity;
    line.buffer[at] = x;
    ++q.count;
}

Pair pop(Line& line, LineQueue& q) {
    const Pair x = line.buffer[q.head];
    if (++q.head == kLookAheadCapacity) q.head = 0;
    --q.count;
    return x;
}

// {gain, gate} of the frame `age` frames before the current one (0: the current).
Pair recentGain(const LookAheadShift& s, int32_t age) { return s.gains[(s.nextGain - 1 - age) & kGainMask]; }

void startPhase(LookAheadShift& s, int32_t fromLength, int32_t toLength) {
    s.fromLength = fromLength;
    s.toLength = toLength;
    s.phase = toLength < fromLength ? ShiftPhase::Record : ShiftPhase::Pause;
    s.frame = 0;
}

// The next input frame through the look-ahead queue, the gain and the output stage into the
// compensation queue; with `fade` above 0 the gain is that far from `from` to `to`.
void stageFrame(Processor& p, int b, const BandDerived& d, Pair from, Pair to, double fade, bool oversampled) {
    BandMemory& memory = p.bandMemory[b];
    LookAheadShift& s = p.lookAheadShifts[b];
    const Pair delayed = pop(memory.lookAhead, s.lookAhead);
    Pair gained = from[0] * delayed * from[1];
    if (fade > 0.0) gained = (1.0 - fade) * gained + fade * (to[0] * delayed * to[1]);
    const Pair shaped = bandOutputStage(p, b, gained, d.clipLevel, p.bands[b].clipFlag, oversampled);
    push(memory.compensation, s.compensation, d.outputFactor * shaped);
}

// The phase's frames done: on to the next phase, the next shift, or the ordinary path.
void advance(Processor& p, int b) {
    BandMemory& memory = p.bandMemory[b];
    LookAheadShift& s = p.lookAheadShifts[b];
    const int32_t lag = std::abs(s.toLength - s.fromLength);
    ++s.frame;
    switch (s.phase) {
        case ShiftPhase::Record:
        case ShiftPhase::Pause: {
            if (s.frame < lag) return;
            s.phase = ShiftPhase::Fade;
            s.frame = 0;
            const double step = M_PI / (s.fadeFrames + 1);
            s.fadeCos = s.stepCos = std::cos(step);
            s.fadeSin = s.stepSin = std::sin(step);
            return;
        }
        case ShiftPhase::Fade: {
            const double c = s.fadeCos;
            s.fadeCos = c * s.stepCos - s.fadeSin * s.stepSin;
            s.fadeSin = s.fadeSin * s.stepCos + c * s.stepSin;
            if (s.frame < s.fadeFrames) return;
            if (s.toLength < s.fromLength) {
                s.phase = ShiftPhase::CatchUp;
                s.frame = 0;
                return;
            }
            break;
        }
        case ShiftPhase::CatchUp:
            if (s.frame < lag) return;
            break;
        case ShiftPhase::Idle: return;
    }
    const int32_t wanted = p.bands[b].lookAheadLength;
    if (wanted != s.toLength) {
        startPhase(s, s.toLength, wanted);
        return;
    }
    toDelayLine(memory.lookAhead, s.lookAhead, wanted);
    toDelayLine(memory.compensation, s.compensation, kLookAheadCapacity - wanted);
    s.phase = ShiftPhase::Idle;
}

}  // namespace

int32_t lookAheadFadeFrames(int32_t sampleRate) {
    return std::max(1, static_cast<int32_t>(std::lround(kLookAheadFadeMs / 1000.0 * sampleRate)));
}

void beginLookAheadShift(Processor& p, int b, int32_t fromLength) {
    BandMemory& memory = p.bandMemory[b];
    LookAheadShift& s = p.lookAheadShifts[b];
    const int32_t toLength = p.bands[b].lookAheadLength;
    if (s.phase != ShiftPhase::Idle || toLength == fromLength) return;
    s.lookAhead = toQueue(memory.lookAhead, fromLength);
    s.compensation = toQueue(memory.compensation, kLookAheadCapacity - fromLength);
    s.fadeFrames = lookAheadFadeFrames(p.streamRate);
    s.nextGain = 0;
    startPhase(s, fromLength, toLength);
}

void stopLookAheadShifts(Processor& p) {
    for (int b = 0; b < kBandCount; ++b) {
        BandMemory& memory = p.bandMemory[b];
        LookAheadShift& s = p.lookAheadShifts[b];
        if (s.phase == ShiftPhase::Idle) continue;
        const int32_t length = p.bands[b].lookAheadLength;
        toDelayLine(memory.lookAhead, s.lookAhead, length);
        toDelayLine(memory.compensation, s.compensation, kLookAheadCapacity - length);
        s.phase = ShiftPhase::Idle;
    }
}

bool lookAheadShifting(const Processor& p) {
    for (const LookAheadShift& s : p.lookAheadShifts) {
        if (s.phase != ShiftPhase::Idle) return true;
    }
    return false;
}

void shiftingBandOutput(Processor& p, int b, double normalizeGain, BandDerived d, Pair filtered, double k,
                        bool oversampled) {
    BandMemory& memory = p.bandMemory[b];
    LookAheadShift& s = p.lookAheadShifts[b];
    if (s.phase == ShiftPhase::Idle) {
        settledBandOutput(p, b, normalizeGain, d, filtered, k, oversampled);
        return;
    }
    BandSettings& band = p.bands[b];
    s.gains[s.nextGain] = pairOf(k, band.gateGain);
    s.nextGain = (s.nextGain + 1) & kGainMask;
    push(memory.lookAhead, s.lookAhead, normalizeGain * filtered);

    const int32_t lag = std::abs(s.toLength - s.fromLength);
    switch (s.phase) {
        case ShiftPhase::Record: stageFrame(p, b, d, recentGain(s, 0), Pair{}, 0.0, oversampled); break;
        case ShiftPhase::Pause: break;
        case ShiftPhase::Fade: {
            // Raised cosine, strictly between 0 and 1 over the fade's frames.
            const double fade = 0.5 - 0.5 * s.fadeCos;
            // Shorter: the current gains give way to those `lag` frames older; longer: the
            // reverse.
            const bool shorter = s.toLength < s.fromLength;
            const Pair current = recentGain(s, 0), older = recentGain(s, lag);
            stageFrame(p, b, d, shorter ? current : older, shorter ? older : current, fade, oversampled);
            break;
        }
        case ShiftPhase::CatchUp:
            stageFrame(p, b, d, recentGain(s, lag - s.frame), Pair{}, 0.0, oversampled);
            stageFrame(p, b, d, recentGain(s, lag - s.frame - 1), Pair{}, 0.0, oversampled);
            break;
        case ShiftPhase::Idle: break;
    }
    const Pair out = pop(memory.compensation, s.compensation);
    band.outputL = out[0];
    band.outputR = out[1];
    advance(p, b);
}

}  // namespace loudara

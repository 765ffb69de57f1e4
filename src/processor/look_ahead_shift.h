#pragma once
// Moving a band's look-ahead to a new length while sound runs, without a click.
//
// A band's path is: look-ahead line (L - 1 frames), gain and gate, output stage, compensation
// line (899 - L frames); 898 frames whatever L. The output at frame n is
// stage(G[n - 899 + L] * x[n - 898]), G the band's gain times its gate: the look-ahead decides
// only which frame's gain meets which input frame. Reading the two lines at new lengths at once
// would splice the sound twice (at the change and when the compensation line's older content
// runs out). A shift instead keeps the output stage running over the input frames in order,
// each exactly once, and changes the alignment of the gains gradually:
//
// - shorter (L to L - d): d frames of gains are recorded; the stage's gain fades (raised cosine)
//   from the current gain to the one d frames older, which is the alignment the new length
//   gives; then the stage catches up, taking two input frames a frame for d frames, until it sits
//   d frames earlier in the path with the current gains again.
// - longer (L to L + d): the stage waits d frames (the look-ahead line fills, the compensation
//   line drains), then goes on with the gains of d frames before, the old alignment, and fades
//   to the current ones.
//
// While a shift runs, the two lines' buffers are used as queues; at its end they are laid out as
// delay lines of the new lengths again and the band runs its ordinary path. A turn during a
// shift waits for it to end, and the next shift starts from there.

#include <cstdint>

#include "filters.h"

namespace loudara {

struct Processor;
struct BandDerived;

// Holds the largest change of alignment (880 - 110 frames) with room to spare; a power of two.
inline constexpr int kShiftGainCapacity = 1024;

// Length of the gain fade.
inline constexpr double kLookAheadFadeMs = 15.0;

enum class ShiftPhase : int32_t {
    Idle = 0,  // zero: a cleared band memory has no shift
    Record,    // shorter: gains recorded, the old alignment still used
    Pause,     // longer: the stage waits while the look-ahead line fills
    Fade,      // the stage's gain fades from the old alignment to the new
    CatchUp,   // shorter: two input frames through the stage a frame
};

// A line's buffer read as a queue: `count` values from `head` on (modulo the capacity), oldest
// first.
struct LineQueue {
    int32_t head = 0;
    int32_t count = 0;
};

struct LookAheadShift {
    ShiftPhase phase = ShiftPhase::Idle;
    int32_t fromLength = 0, toLength = 0;  // look-ahead lengths of this shift
    int32_t frame = 0;                     // frames done in the phase
    int32_t fadeFrames = 0;
    // The fade's angle pi * (frame + 1) / (fadeFrames + 1) as its cosine and sine, turned on by
    // one step a frame.
    double fadeCos = 1.0, fadeSin = 0.0, stepCos = 1.0, stepSin = 0.0;
    LineQueue lookAhead, compensation;
    int32_t nextGain = 0;             // where the next frame's gain goes in `gains`
    Pair gains[kShiftGainCapacity] = {};  // {gain, gate} of the recent frames
};

// Frames of the gain fade at a rate.
int32_t lookAheadFadeFrames(int32_t sampleRate);

// Band b's look-ahead changed from fromLength to its lookAheadLength by a retune: the shift
// starts (or, when one runs, the next starts from where it ends).
void beginLookAheadShift(Processor& p, int b, int32_t fromLength);

// Band lengths set by an install: a shift that runs stops, and its lines are laid out for the
// band's lookAheadLength (the newest values kept), as any install leaves them.
void stopLookAheadShifts(Processor& p);

// Whether a shift runs in any band.
bool lookAheadShifting(const Processor& p);

// The band output of one frame for band b while shifts run; a band with no shift takes its
// ordinary path (settledBandOutput).
void shiftingBandOutput(Processor& p, int b, double normalizeGain, BandDerived d, Pair filtered, double k,
                        bool oversampled);

}  // namespace loudara

#pragma once
// The control panel's knobs: small steppers drawn on the panel, each showing one sound parameter
// as a label between a down arrow and an up arrow. This file holds the table, the hit rules and
// the labels (no Qt); panel_painter.cpp draws them.

#include <string>

#include "processor/parameter_names.h"
#include "processor/processor.h"

namespace loudara {

inline constexpr int kKnobColumns = 6;       // gate, drive, depth, threshold, clip, output
inline constexpr int kSingleKnobs = 30;      // 24 single parameters and the six all-bands knobs
inline constexpr int kAllBandsRowY = 245;
inline constexpr int kKnobHeight = 12;
inline constexpr int kKnobDownLeft = 30, kKnobDownRight = 40;  // hit zones, from the knob's x
inline constexpr int kKnobUpLeft = 70, kKnobUpRight = 80;
inline constexpr int kKnobLabelX = 37, kKnobDownArrowX = 30, kKnobUpArrowX = 75;

enum KnobColumn { kGateColumn = 0, kDriveColumn, kDepthColumn, kThresholdColumn, kClipColumn, kOutputColumn };
enum KnobPress { kNotPressed = 0, kUpPressed = 1, kDownPressed = 2 };

struct Knob {
    int x = 0, y = 0;        // panel coordinates of the knob's top-left reference point
    double step = 0;         // added by the up arrow, subtracted by the down arrow
    double maxValue = 0, minValue = 0;
    double* value = nullptr;
    const char* labelKey = "";  // a printf format for the value, or a label keyword
    const ParameterInfo* parameter = nullptr;  // what it sets; none for the all-bands knobs
    bool gateTag = false;
    int pressed = kNotPressed;
};

struct KnobModifiers {
    bool shift = false, ctrl = false, alt = false;
};

struct KnobTable {
    Knob columns[kKnobColumns][kBandCount];  // one knob per band row, band 0 first
    Knob singles[kSingleKnobs];
    // What each column's all-bands knob adds to all six bands; back to 0 after every click.
    double allBandsDelta[kKnobColumns] = {};
    // Index in `singles` of each column's all-bands knob, and of the knobs whose change needs a
    // recomputation.
    int allBandsKnob[kKnobColumns] = {};
    int bassEqKnobs[3] = {};
    int envelopeKnobs[2] = {};  // attack, release
    int finalLowpassKnob = 0;
};

// Fills the table for the parameters of `p` (which must outlive the table).
void BuildKnobTable(KnobTable& table, Processor& p);

// One press or one repeat tick at panel point (x, y): steps the knob whose arrow is hit, moves
// whole columns through their all-bands knobs and runs the recomputations. The gate column
// takes part only while gates are on. True when an arrow was hit.
bool KnobClick(KnobTable& table, Processor& p, int x, int y, KnobModifiers modifiers);

// The label a knob shows (the skin font shows it in capitals).
std::string KnobLabel(const Knob& knob, const Processor& p);

// The knob whose label or arrows cover panel point (x, y), or none.
const Knob* KnobAt(const KnobTable& table, int x, int y);

// Mouse-wheel steps over a knob: each step up presses its up arrow once, each step down its
// down arrow, with the same keys and recomputations; no arrow stays drawn pressed. True when
// (x, y) is over a knob.
bool KnobWheel(KnobTable& table, Processor& p, int x, int y, int steps, KnobModifiers modifiers);

// The knob's tool tip: what it sets, its unit and its name for scripts ("Drive, band 3 (dB) -
// driveDb[2]"); empty for a point that is not over a knob.
std::string KnobTipText(const KnobTable& table, const Processor& p, int x, int y);

}  // namespace loudara

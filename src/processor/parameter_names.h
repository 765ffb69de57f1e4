#pragma once
// The sound parameters by name: one table that says, for each, where it lives in the processor,
// its knob's range and step, its unit, its place in the parameter file and in a built-in preset.
// Scripts and the command-line tool read and set them through it ("driveDb[2]", "preEmphasis",
// "gateOn"); the parameter file, the presets, the panel's knobs and the chain's guard use it too.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "processor.h"

namespace loudara {

struct ParameterInfo {
    const char* name;   // per-band parameters are addressed as name[band]
    double minValue;
    double maxValue;
    bool perBand;       // one value per band (BandSettings)
    bool isSwitch;      // a 32-bit on/off setting (0 or 1)
    bool isChoice;      // read through an integer reading that gives a defined choice for any value
    // Where the value lives: exactly one of these. A bandField that is not perBand is band 0's.
    double BandSettings::*bandField = nullptr;
    double ProcessorParams::*paramField = nullptr;
    double ProcessorSettings::*settingField = nullptr;
    int32_t ProcessorSettings::*switchField = nullptr;
    const char* title = "";  // what it sets, in words
    const char* unit = "";   // empty for choices, switches and plain factors
    double step = 1;         // one press of its knob's arrow
    // Its place in the parameter file: the offset of (band 0's) value, a switch as a 32-bit
    // integer and every other value as a 64-bit double, the bands `bandStride` bytes apart; -1
    // when the file does not hold it.
    int fileOffset = -1;
    int bandStride = 0;
    bool currentSettingsOnly = false;       // read only from the current-settings file
    std::optional<double> whenAbsent = {};  // what a file too short to hold it gives; else it stays
    // Its place in a built-in preset record (one of these), none when presets leave it alone.
    double (PresetRecord::*presetRow)[kBandCount] = nullptr;
    double PresetRecord::*presetValue = nullptr;
    int32_t PresetRecord::*presetSwitch = nullptr;
};

// Every settable parameter, band parameters first.
// Of `candidates`, the one a mistyped `given` most likely meant: one that begins with it (three
// letters at least), else the nearest by letters changed, added or dropped (case ignored), when at
// most a third of its letters (at least two) differ. Empty when none is near enough.
std::string_view nearestName(std::string_view given, std::span<const std::string_view> candidates);

std::span<const ParameterInfo> soundParameters();

// The parameter called `name` (without a band index), or none.
const ParameterInfo* findSoundParameter(std::string_view name);

constexpr int bandsOf(const ParameterInfo& info) { return info.perBand ? kBandCount : 1; }
constexpr int storedBytes(const ParameterInfo& info) { return info.isSwitch ? 4 : 8; }
constexpr int fileOffsetOf(const ParameterInfo& info, int band) { return info.fileOffset + band * info.bandStride; }
// "name" or "name[band]".
std::string parameterName(const ParameterInfo& info, int band);

// The value a parameter has (band `band` for per-band parameters), as a double, in a Processor
// or in any other set of the same rows (bands, params, settings).
template <class Rows>
double parameterValue(const Rows& p, const ParameterInfo& info, int band) {
    if (info.switchField) return p.settings.*info.switchField;
    if (info.paramField) return p.params.*info.paramField;
    if (info.settingField) return p.settings.*info.settingField;
    return p.bands[info.perBand ? band : 0].*info.bandField;
}
// The double a parameter that is not a switch lives in.
template <class Rows>
double* numberField(Rows& p, const ParameterInfo& info, int band) {
    if (info.paramField) return &(p.params.*info.paramField);
    if (info.settingField) return &(p.settings.*info.settingField);
    return &(p.bands[info.perBand ? band : 0].*info.bandField);
}
template <class Rows>
void setParameterValue(Rows& p, const ParameterInfo& info, int band, double value) {
    if (info.switchField) {
        p.settings.*info.switchField = static_cast<int32_t>(value);
    } else {
        *numberField(p, info, band) = value;
    }
}

// The value a parameter has when the program starts (preset 232 with gates at -36 dB, the
// virtual speaker at its initial values, every switch as the processor is built).
double defaultValue(const ParameterInfo& info, int band);

// The guard the chain runs at every block start: every level, time and frequency setting that is
// NaN or outside its knob's range is brought to the nearest limit (NaN to the lower one), and the
// bass EQ is designed again when one of its values moved. The choices (modes, indexes, switches)
// are left alone: their integer readings give a defined choice for any value. Settings within
// their ranges are never touched, so a valid parameter set processes exactly as without it.
// Returns whether anything was changed.
bool keepLevelsInRange(Processor& p);

// Reads "name" or "name[band]"; returns false (with a message) for an unknown name, a missing or
// out-of-range band index, or a value outside the parameter's limits.
bool setSoundParameter(Processor& p, std::string_view name, double value, std::string& error);
bool getSoundParameter(const Processor& p, std::string_view name, double& value, std::string& error);

// Runs the recomputations that settings changed behind the processor's back may need: bass EQ
// design, envelope times and final low-pass.
void applyParameterChanges(Processor& p);

}  // namespace loudara

#pragma once
// The sound parameters by name, with the limits of their panel knobs: how scripts and the
// command-line tool read and set them ("driveDb[2]", "preEmphasis", "gateOn").

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
    double BandSettings::*bandField = nullptr;
    double ProcessorParams::*paramField = nullptr;
    double ProcessorSettings::*settingField = nullptr;
    int32_t ProcessorSettings::*switchField = nullptr;
};

// Every settable parameter, band parameters first.
std::span<const ParameterInfo> soundParameters();

// The value a parameter has in `p` (band `band` for per-band parameters), as a double.
double parameterValue(const Processor& p, const ParameterInfo& info, int band);
void setParameterValue(Processor& p, const ParameterInfo& info, int band, double value);

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

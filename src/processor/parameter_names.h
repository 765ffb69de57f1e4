#pragma once
// The sound parameters by name, with the limits of their panel knobs: how scripts and the
// command-line tool read and set them ("driveDb[2]", "preEmphasis", "gateOn").

#include <string>
#include <string_view>
#include <vector>

#include "processor.h"

namespace loudara {

struct ParameterInfo {
    const char* name;   // per-band parameters are addressed as name[band]
    double minValue;
    double maxValue;
    bool perBand;       // one value per band (BandSettings)
    bool isSwitch;      // a 32-bit on/off setting (0 or 1)
    double BandSettings::*bandField = nullptr;
    double ProcessorParams::*paramField = nullptr;
    double ProcessorSettings::*settingField = nullptr;
    int32_t ProcessorSettings::*switchField = nullptr;
};

// Every settable parameter, band parameters first.
const std::vector<ParameterInfo>& soundParameters();

// Reads "name" or "name[band]"; returns false (with a message) for an unknown name, a missing or
// out-of-range band index, or a value outside the parameter's limits.
bool setSoundParameter(Processor& p, std::string_view name, double value, std::string& error);
bool getSoundParameter(const Processor& p, std::string_view name, double& value, std::string& error);

// Runs the recomputations that settings changed behind the processor's back may need: bass EQ
// design, envelope times and final low-pass.
void applyParameterChanges(Processor& p);

}  // namespace loudara

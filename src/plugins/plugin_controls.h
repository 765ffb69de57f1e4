#pragma once
// The plugin's ports, built once from the parameter table: two audio inputs, two audio outputs,
// the latency output, the preset, then every sound parameter by its script name (per-band ones
// as "driveDb[2]"). The LADSPA descriptor, the LV2 description and the running plugin all read
// this one list.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "processor/parameter_names.h"

namespace loudara::plugin {

enum Port : uint32_t { kInputLeft, kInputRight, kOutputLeft, kOutputRight, kLatencyPort, kFirstControlPort };

struct Control {
    std::string name;    // the script name: "preset", "driveDb[2]"
    std::string symbol;  // a C identifier for hosts that need one: "preset", "driveDb_2"
    std::string title;   // "Drive (band 3)"
    const char* unit = "";
    double minValue = 0, maxValue = 0;
    double defaultValue = 0;  // the value of a first start (the preset control: 232)
    bool isToggle = false, isInteger = false;
    const ParameterInfo* parameter = nullptr;  // null for the preset control
    int band = 0;
};

// The input controls in port order, from kFirstControlPort on; the preset control first.
std::span<const Control> controls();
inline uint32_t portCount() { return kFirstControlPort + static_cast<uint32_t>(controls().size()); }

// The rates the chain has coefficient tables for.
bool rateSupported(double sampleRate);
// "Loudara runs at 32000, 44100 or 48000 Hz, not 22050 Hz": why a host's rate is refused.
std::string rateRefusal(double sampleRate);

}  // namespace loudara::plugin

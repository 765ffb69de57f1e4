// The LADSPA face of the plugin: one stereo effect, label "loudara", its ports from the control
// list. LADSPA cannot state every default exactly: each control gets the hint that comes
// nearest, and the plugin reads a control at that hint's value as untouched.

#include <ladspa.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "plugins/loudara_plugin.h"
#include "plugins/plugin_controls.h"

namespace loudara::plugin {

namespace {

constexpr unsigned long kUniqueId = 4963;  // in the range LADSPA leaves to authors without a registered block

struct Hint {
    LADSPA_PortRangeHintDescriptor bits;
    double value;
};

// The default hints a LADSPA host understands, with the value it computes for each.
std::vector<Hint> hintsFor(const Control& c) {
    const double lo = c.minValue, hi = c.maxValue;
    return {{LADSPA_HINT_DEFAULT_MINIMUM, lo},
            {LADSPA_HINT_DEFAULT_LOW, lo * 0.75 + hi * 0.25},
            {LADSPA_HINT_DEFAULT_MIDDLE, lo * 0.5 + hi * 0.5},
            {LADSPA_HINT_DEFAULT_HIGH, lo * 0.25 + hi * 0.75},
            {LADSPA_HINT_DEFAULT_MAXIMUM, hi},
            {LADSPA_HINT_DEFAULT_0, 0.0},
            {LADSPA_HINT_DEFAULT_1, 1.0},
            {LADSPA_HINT_DEFAULT_100, 100.0},
            {LADSPA_HINT_DEFAULT_440, 440.0}};
}

// The hint nearest the control's default (exact ones first), within its range.
Hint nearestHint(const Control& c) {
    Hint best{LADSPA_HINT_DEFAULT_MINIMUM, c.minValue};
    for (const Hint& h : hintsFor(c)) {
        if (h.value < c.minValue || h.value > c.maxValue) continue;
        if (c.isInteger && h.value != std::round(h.value)) continue;
        if (std::fabs(h.value - c.defaultValue) < std::fabs(best.value - c.defaultValue)) best = h;
    }
    return best;
}

// The descriptor and the texts it points at, built once when the library is loaded.
struct Description {
    LADSPA_Descriptor descriptor{};
    std::vector<std::string> names;
    std::vector<const char*> namePointers;
    std::vector<LADSPA_PortDescriptor> ports;
    std::vector<LADSPA_PortRangeHint> hints;
    std::vector<float> startValues;
};

LADSPA_Handle instantiate(const LADSPA_Descriptor* d, unsigned long rate) {
    if (!rateSupported(static_cast<double>(rate))) {
        // LADSPA gives no log: the host's standard error is where its users look.
        std::fprintf(stderr, "loudara (LADSPA): %s\n", rateRefusal(static_cast<double>(rate)).c_str());
        return nullptr;
    }
    const auto* description = static_cast<const Description*>(d->ImplementationData);
    return new (std::nothrow) LoudaraPlugin(static_cast<int>(rate), description->startValues);
}

void connectPort(LADSPA_Handle h, unsigned long port, LADSPA_Data* data) {
    static_cast<LoudaraPlugin*>(h)->connect(static_cast<uint32_t>(port), data);
}
void activate(LADSPA_Handle h) { static_cast<LoudaraPlugin*>(h)->activate(); }
void run(LADSPA_Handle h, unsigned long frames) { static_cast<LoudaraPlugin*>(h)->run(static_cast<uint32_t>(frames)); }
void cleanup(LADSPA_Handle h) { delete static_cast<LoudaraPlugin*>(h); }

Description* buildDescription() {
    auto* d = new Description;
    const char* audioNames[] = {"Input L", "Input R", "Output L", "Output R", "latency"};
    for (const char* name : audioNames) d->names.emplace_back(name);
    d->ports = {LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO, LADSPA_PORT_INPUT | LADSPA_PORT_AUDIO,
                LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO, LADSPA_PORT_OUTPUT | LADSPA_PORT_AUDIO,
                LADSPA_PORT_OUTPUT | LADSPA_PORT_CONTROL};
    d->hints.assign(kFirstControlPort, LADSPA_PortRangeHint{0, 0, 0});
    for (const Control& c : controls()) {
        // Hosts turn port names into labels (Liquidsoap keeps letters, digits and "_"), so the
        // per-band controls go by their symbols: "driveDb_2" for "driveDb[2]".
        d->names.push_back(c.symbol);
        d->ports.push_back(LADSPA_PORT_INPUT | LADSPA_PORT_CONTROL);
        const Hint h = nearestHint(c);
        LADSPA_PortRangeHintDescriptor bits = LADSPA_HINT_BOUNDED_BELOW | LADSPA_HINT_BOUNDED_ABOVE | h.bits;
        if (c.isToggle) {
            bits = LADSPA_HINT_TOGGLED | (c.defaultValue != 0 ? LADSPA_HINT_DEFAULT_1 : LADSPA_HINT_DEFAULT_0);
        } else if (c.isInteger) {
            bits |= LADSPA_HINT_INTEGER;
        }
        d->hints.push_back({bits, static_cast<LADSPA_Data>(c.minValue), static_cast<LADSPA_Data>(c.maxValue)});
        d->startValues.push_back(static_cast<float>(c.isToggle ? (c.defaultValue != 0 ? 1.0 : 0.0) : h.value));
    }
    for (const std::string& name : d->names) d->namePointers.push_back(name.c_str());

    LADSPA_Descriptor& l = d->descriptor;
    l.UniqueID = kUniqueId;
    l.Label = "loudara";
    l.Properties = LADSPA_PROPERTY_HARD_RT_CAPABLE;
    l.Name = "Loudara broadcast processor";
    l.Maker = "Loudara";
    l.Copyright = "GPL";
    l.PortCount = d->ports.size();
    l.PortDescriptors = d->ports.data();
    l.PortNames = d->namePointers.data();
    l.PortRangeHints = d->hints.data();
    l.ImplementationData = d;
    l.instantiate = instantiate;
    l.connect_port = connectPort;
    l.activate = activate;
    l.run = run;
    l.cleanup = cleanup;
    return d;
}

}  // namespace

}  // namespace loudara::plugin

extern "C" __attribute__((visibility("default"))) const LADSPA_Descriptor* ladspa_descriptor(unsigned long index) {
    static const loudara::plugin::Description* description = loudara::plugin::buildDescription();
    return index == 0 ? &description->descriptor : nullptr;
}

#include "plugins/plugin_controls.h"

#include <cmath>
#include <cstdio>

namespace loudara::plugin {

namespace {

std::vector<Control> buildControls() {
    std::vector<Control> list;
    Control preset;
    preset.name = preset.symbol = "preset";
    preset.title = "Preset";
    preset.minValue = 232;
    preset.maxValue = 343;
    preset.defaultValue = 232;
    preset.isInteger = true;
    list.push_back(preset);
    for (const ParameterInfo& info : soundParameters()) {
        for (int band = 0; band < bandsOf(info); ++band) {
            Control c;
            c.name = parameterName(info, band);
            c.symbol = info.perBand ? std::string(info.name) + "_" + std::to_string(band) : std::string(info.name);
            c.title = info.perBand ? std::string(info.title) + " (band " + std::to_string(band + 1) + ")" : info.title;
            c.unit = info.unit;
            c.minValue = info.minValue;
            c.maxValue = info.maxValue;
            c.defaultValue = defaultValue(info, band);
            c.isToggle = info.isSwitch;
            c.isInteger = info.isChoice || info.isSwitch;
            c.parameter = &info;
            c.band = band;
            list.push_back(std::move(c));
        }
    }
    return list;
}

}  // namespace

std::span<const Control> controls() {
    static const std::vector<Control> list = buildControls();
    return list;
}

bool rateSupported(double sampleRate) {
    return sampleRate == 32000.0 || sampleRate == 44100.0 || sampleRate == 48000.0;
}

std::string rateRefusal(double sampleRate) {
    char text[96];
    std::snprintf(text, sizeof text, "Loudara runs at 32000, 44100 or 48000 Hz, not %g Hz", sampleRate);
    return text;
}

}  // namespace loudara::plugin

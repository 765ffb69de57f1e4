#include "parameter_names.h"

#include <charconv>
#include <cstdio>

namespace loudara {
namespace {

constexpr ParameterInfo band(const char* name, double lo, double hi, double BandSettings::*field) {
    ParameterInfo info{name, lo, hi, true, false, false};
    info.bandField = field;
    return info;
}
constexpr ParameterInfo param(const char* name, double lo, double hi, double ProcessorParams::*field,
                              bool isChoice = false) {
    ParameterInfo info{name, lo, hi, false, false, isChoice};
    info.paramField = field;
    return info;
}
constexpr ParameterInfo setting(const char* name, double lo, double hi, double ProcessorSettings::*field,
                                bool isChoice = false) {
    ParameterInfo info{name, lo, hi, false, false, isChoice};
    info.settingField = field;
    return info;
}
constexpr ParameterInfo onOff(const char* name, int32_t ProcessorSettings::*field) {
    ParameterInfo info{name, 0.0, 1.0, false, true, true};
    info.switchField = field;
    return info;
}

constexpr bool kChoice = true;

// Every settable parameter, band parameters first. A plain constant table: the chain reads it at
// every block start, so it must never allocate.
constexpr ParameterInfo kSoundParameters[] = {
    band("gateDb", -60, -12, &BandSettings::gateDb),
    band("driveDb", 0, 24, &BandSettings::driveDb),
    band("depthDb", 0, 24, &BandSettings::depthDb),
    band("thresholdDb", -32, 0, &BandSettings::thresholdDb),
    band("clipDb", -24, 6, &BandSettings::clipDb),
    band("outputDb", -96, 3, &BandSettings::outputDb),
    param("agcDepthDb", 0, 24, &ProcessorParams::agcDepthDb),
    param("agcThresholdDb", -36, 0, &ProcessorParams::agcThresholdDb),
    param("agcSpeed", 1, 4, &ProcessorParams::agcSpeed, kChoice),
    param("enhancerDepthDb", -48, 0, &ProcessorParams::enhancerDepthDb),
    param("enhancerDelayMs", 1, 50, &ProcessorParams::enhancerDelayMs),
    param("enhancerMode", 1, 5, &ProcessorParams::enhancerMode, kChoice),
    param("bandReleaseTime", 1, 5, &ProcessorParams::bandReleaseTime, kChoice),
    param("bandAttackTime", 1, 5, &ProcessorParams::bandAttackTime, kChoice),
    param("bassClipMode", 0, 2, &ProcessorParams::bassClipMode, kChoice),
    param("preEmphasis", 0, 2, &ProcessorParams::preEmphasis, kChoice),
    param("hfLimitThresholdDb", -32, 0, &ProcessorParams::hfLimitThresholdDb),
    param("hfLimitDepthDb", 0, 48, &ProcessorParams::hfLimitDepthDb),
    param("finalClipDb", -24, 0, &ProcessorParams::finalClipDb),
    param("clipType", 0, 1, &ProcessorParams::clipType, kChoice),
    param("postClipDb", -24, 6, &ProcessorParams::postClipDb),
    setting("reductionDelayMs", 0, 100, nullptr),  // band 0's, see parameterValue
    setting("bassEqFreqHz", 50, 150, &ProcessorSettings::bassEqFreqHz),
    setting("bassEqGainDb", 0, 12, &ProcessorSettings::bassEqGainDb),
    setting("bassEqQ", 0.2, 2.0, &ProcessorSettings::bassEqQ),
    setting("finalLowpass", 0, 6, &ProcessorSettings::finalLowpass, kChoice),
    setting("channelMode", 0, 2, &ProcessorSettings::channelMode, kChoice),
    setting("speakerSpacingCm", 1, 30, &ProcessorSettings::speakerSpacingCm),
    setting("roomDistanceM", 2, 34, &ProcessorSettings::roomDistanceM),
    setting("reflectionPercent", 0, 100, &ProcessorSettings::reflectionPercent),
    onOff("bypass", &ProcessorSettings::bypass),
    onOff("bassEqOff", &ProcessorSettings::bassEqOff),
    onOff("phaseShifterOn", &ProcessorSettings::phaseShifterOn),
    onOff("enhancerOn", &ProcessorSettings::enhancerOn),
    onOff("deEmphasisOn", &ProcessorSettings::deEmphasisOn),
    onOff("gateOn", &ProcessorSettings::gateOn),
    onOff("virtualSpeakerOn", &ProcessorSettings::virtualSpeakerOn),
};

// The bass EQ is designed for the stream rate; only the three rates the program plays occur.
constexpr double kLowestBassEqRate = 32000.0;
constexpr double kHighestBassEqRate = 48000.0;

// Brings `value` into [lo, hi] (NaN to lo); true when it moved.
bool keepWithin(double& value, double lo, double hi) {
    if (value >= lo && value <= hi) return false;
    value = value > hi ? hi : lo;
    return true;
}

// printf into a std::string; names are passed as (int length, const char*) pairs for "%.*s".
template <class... Args>
std::string message(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

int length(std::string_view s) { return static_cast<int>(s.size()); }

struct Address {
    const ParameterInfo* info = nullptr;
    int band = -1;
};

bool resolve(std::string_view name, Address& address, std::string& error) {
    std::string_view base = name;
    int bandIndex = -1;
    const size_t open = name.find('[');
    if (open != std::string_view::npos) {
        if (name.back() != ']') {
            error = message("malformed parameter name '%.*s' (expected name[band])", length(name), name.data());
            return false;
        }
        base = name.substr(0, open);
        const std::string_view digits = name.substr(open + 1, name.size() - open - 2);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bandIndex);
        if (ec != std::errc() || end != digits.data() + digits.size() || bandIndex < 0 || bandIndex >= kBandCount) {
            error = message("band index of '%.*s' must be 0 to 5", length(name), name.data());
            return false;
        }
    }
    for (const ParameterInfo& info : soundParameters()) {
        if (base != info.name) continue;
        if (info.perBand && bandIndex < 0) {
            error = message("'%s' is set per band: use %s[0] to %s[5]", info.name, info.name, info.name);
            return false;
        }
        if (!info.perBand && bandIndex >= 0) {
            error = message("'%s' is not a band parameter", info.name);
            return false;
        }
        address.info = &info;
        address.band = bandIndex;
        return true;
    }
    error = message("unknown parameter '%.*s'", length(base), base.data());
    return false;
}

}  // namespace

std::span<const ParameterInfo> soundParameters() { return kSoundParameters; }

double parameterValue(const Processor& p, const ParameterInfo& info, int band) {
    if (info.bandField) return p.bands[band].*info.bandField;
    if (info.paramField) return p.params.*info.paramField;
    if (info.settingField) return p.settings.*info.settingField;
    if (info.switchField) return p.settings.*info.switchField;
    return p.bands[0].reductionDelayMs;
}

void setParameterValue(Processor& p, const ParameterInfo& info, int band, double value) {
    if (info.bandField) {
        p.bands[band].*info.bandField = value;
    } else if (info.paramField) {
        p.params.*info.paramField = value;
    } else if (info.settingField) {
        p.settings.*info.settingField = value;
    } else if (info.switchField) {
        p.settings.*info.switchField = static_cast<int32_t>(value);
    } else {
        p.bands[0].reductionDelayMs = value;
    }
}

bool keepLevelsInRange(Processor& p) {
    ProcessorSettings& s = p.settings;
    const double eqBefore[4] = {s.bassEqGainDb, s.bassEqFreqHz, s.bassEqQ, s.bassEqSampleRate};
    bool changed = false;
    for (const ParameterInfo& info : kSoundParameters) {
        if (info.isChoice) continue;
        if (info.bandField) {
            for (BandSettings& b : p.bands) changed |= keepWithin(b.*info.bandField, info.minValue, info.maxValue);
        } else if (info.paramField) {
            changed |= keepWithin(p.params.*info.paramField, info.minValue, info.maxValue);
        } else if (info.settingField) {
            changed |= keepWithin(p.settings.*info.settingField, info.minValue, info.maxValue);
        } else {
            changed |= keepWithin(p.bands[0].reductionDelayMs, info.minValue, info.maxValue);
        }
    }
    changed |= keepWithin(s.bassEqSampleRate, kLowestBassEqRate, kHighestBassEqRate);
    // A moved EQ value means its filter was designed from a bad one.
    if (changed && (eqBefore[0] != s.bassEqGainDb || eqBefore[1] != s.bassEqFreqHz || eqBefore[2] != s.bassEqQ ||
                    eqBefore[3] != s.bassEqSampleRate)) {
        designBassEq(p);
    }
    return changed;
}

bool setSoundParameter(Processor& p, std::string_view name, double value, std::string& error) {
    Address a;
    if (!resolve(name, a, error)) return false;
    const ParameterInfo& info = *a.info;
    if (!(value >= info.minValue && value <= info.maxValue)) {
        error = message("value of '%.*s' must be %g to %g", length(name), name.data(), info.minValue, info.maxValue);
        return false;
    }
    if (info.isSwitch && value != 0.0 && value != 1.0) {
        error = message("'%.*s' is a switch: 0 or 1", length(name), name.data());
        return false;
    }
    setParameterValue(p, info, a.band, value);
    return true;
}

bool getSoundParameter(const Processor& p, std::string_view name, double& value, std::string& error) {
    Address a;
    if (!resolve(name, a, error)) return false;
    value = parameterValue(p, *a.info, a.band);
    return true;
}

void applyParameterChanges(Processor& p) {
    selectEnvelopeTimes(p);
    designBassEq(p);
    selectFinalLowpass(p);
}

}  // namespace loudara

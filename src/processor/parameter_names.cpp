#include "parameter_names.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <vector>
#include <type_traits>

namespace loudara {
namespace {

using Row = PresetRecord;
constexpr std::optional<double> kKeep;  // a file too short to hold the value leaves it as it was

constexpr ParameterInfo band(const char* name, double BandSettings::*field, double (Row::*preset)[kBandCount],
                             const char* title, double lo, double hi, int fileOffset, int bandStride) {
    ParameterInfo info{name, lo, hi, true, false, false};
    info.bandField = field;
    info.presetRow = preset;
    info.title = title;
    info.unit = "dB";
    info.step = 0.1;
    info.fileOffset = fileOffset;
    info.bandStride = bandStride;
    return info;
}
template <class Owner>
constexpr ParameterInfo number(const char* name, double Owner::*field, double Row::*preset, const char* title,
                               const char* unit, double lo, double hi, double step, int fileOffset,
                               std::optional<double> whenAbsent, bool isChoice = false) {
    ParameterInfo info{name, lo, hi, false, false, isChoice};
    if constexpr (std::is_same_v<Owner, ProcessorParams>) info.paramField = field;
    if constexpr (std::is_same_v<Owner, ProcessorSettings>) info.settingField = field;
    if constexpr (std::is_same_v<Owner, BandSettings>) info.bandField = field;  // band 0's
    info.presetValue = preset;
    info.title = title;
    info.unit = unit;
    info.step = step;
    info.fileOffset = fileOffset;
    info.whenAbsent = whenAbsent;
    return info;
}
template <class Owner>
constexpr ParameterInfo choice(const char* name, double Owner::*field, double Row::*preset, const char* title,
                               double lo, double hi, int fileOffset, std::optional<double> whenAbsent) {
    return number(name, field, preset, title, "", lo, hi, 1, fileOffset, whenAbsent, true);
}
constexpr ParameterInfo onOff(const char* name, int32_t ProcessorSettings::*field, int32_t Row::*preset,
                              const char* title, int fileOffset, std::optional<double> whenAbsent) {
    ParameterInfo info{name, 0.0, 1.0, false, true, true};
    info.switchField = field;
    info.presetSwitch = preset;
    info.title = title;
    info.fileOffset = fileOffset;
    info.whenAbsent = whenAbsent;
    return info;
}
constexpr ParameterInfo currentSettingsOnly(ParameterInfo info) {
    info.currentSettingsOnly = true;
    return info;
}

using P = ProcessorParams;
using S = ProcessorSettings;
using B = BandSettings;

// A parameter's name is the name of the member it lives in, and of the preset record's member
// that holds it when presets set it.
#define LOUDARA_PRESET(owner, member) #member, &owner::member, &Row::member
#define LOUDARA_NO_PRESET(owner, member) #member, &owner::member, nullptr

// Every settable parameter, band parameters first. A plain constant table: the chain reads it at
// every block start, so it must never allocate. The file offsets are those of the parameter file
// (see src/persistence/parameter_file.h), whose band table holds depth, drive, output, threshold
// and clip for band 0, then for band 1, and so on.
constexpr ParameterInfo kSoundParameters[] = {
    //   name and places                       title            min  max  file stride
    currentSettingsOnly(
    band(LOUDARA_NO_PRESET(B, gateDb),         "Gate threshold", -60, -12, 1851,  8)),
    band(LOUDARA_PRESET(B, driveDb),           "Drive",            0,  24,   16, 40),
    band(LOUDARA_PRESET(B, depthDb),           "Depth",            0,  24,    8, 40),
    band(LOUDARA_PRESET(B, thresholdDb),       "Threshold",      -32,   0,   32, 40),
    band(LOUDARA_PRESET(B, clipDb),            "Clip level",     -24,   6,   40, 40),
    band(LOUDARA_PRESET(B, outputDb),          "Output level",   -96,   3,   24, 40),
    //     name and places                           title                    unit   min  max  step  file absent
    number(LOUDARA_PRESET(P, agcDepthDb),            "AGC depth",             "dB",    0,  24, 0.1,  256, kKeep),
    number(LOUDARA_PRESET(P, agcThresholdDb),        "AGC threshold",         "dB",  -36,   0, 0.1,  248, kKeep),
    choice(LOUDARA_PRESET(P, agcSpeed),              "AGC speed",                      1,   4,      1027,     4),
    number(LOUDARA_PRESET(P, enhancerDepthDb),       "Stereo enhancer depth", "dB",  -48,   0, 0.1,  264, kKeep),
    number(LOUDARA_PRESET(P, enhancerDelayMs),       "Stereo enhancer delay", "ms",    1,  50,   1,  975,    10),
    choice(LOUDARA_PRESET(P, enhancerMode),          "Stereo enhancer mode",           1,   5,       608,     2),
    choice(LOUDARA_PRESET(P, bandReleaseTime),       "Band release time",              1,   5,       580, kKeep),
    choice(LOUDARA_PRESET(P, bandAttackTime),        "Band attack time",               1,   5,      1795,     0),
    choice(LOUDARA_PRESET(P, bassClipMode),          "Bass clip mode",                 0,   2,       616,     2),
    choice(LOUDARA_PRESET(P, preEmphasis),           "Pre-emphasis",                   0,   2,       987,     0),
    number(LOUDARA_PRESET(P, hfLimitThresholdDb),    "HF limiter threshold",  "dB",  -32,   0, 0.1,  995,   -15),
    number(LOUDARA_PRESET(P, hfLimitDepthDb),        "HF limiter depth",      "dB",    0,  48, 0.1, 1003,    24),
    number(LOUDARA_PRESET(P, finalClipDb),           "Final clipper level",   "dB",  -24,   0, 0.1,  568, kKeep),
    choice(LOUDARA_PRESET(P, clipType),              "Final clipper type",             0,   1,      1803,     0),
    number(LOUDARA_PRESET(P, postClipDb),            "Post clip level",       "dB",  -24,   6, 0.1, 1019,  -0.5),
    number(LOUDARA_PRESET(B, reductionDelayMs),      "Band 1 reduction delay", "ms",   0, 100,   1, 1043,     0),
    number(LOUDARA_PRESET(S, bassEqFreqHz),          "Bass EQ frequency",     "Hz",   50, 150,   5,  544, kKeep),
    number(LOUDARA_PRESET(S, bassEqGainDb),          "Bass EQ gain",          "dB",    0,  12, 0.5,  536, kKeep),
    number(LOUDARA_PRESET(S, bassEqQ),               "Bass EQ Q",             "",    0.2, 2.0, 0.1,  560, kKeep),
    choice(LOUDARA_PRESET(S, finalLowpass),          "Final low-pass filter",          0,   6,       967,     1),
    choice(LOUDARA_NO_PRESET(S, channelMode),        "Virtual speaker channels",       0,   2,        -1, kKeep),
    number(LOUDARA_NO_PRESET(S, speakerSpacingCm),   "Virtual speaker spacing", "cm",  1,  30, 0.5, 1815,  21.5),
    number(LOUDARA_NO_PRESET(S, roomDistanceM),      "Virtual speaker room distance", "m", 2, 34, 0.5, 1823, 10),
    number(LOUDARA_NO_PRESET(S, reflectionPercent),  "Virtual speaker reflections", "%", 0, 100, 1, 1831,    35),
    //    name and places                            title              file absent
    onOff(LOUDARA_NO_PRESET(S, bypass),              "Bypass",            -1, kKeep),
    onOff(LOUDARA_PRESET(S, bassEqOff),              "Bass EQ off",      600,     0),
    onOff(LOUDARA_PRESET(S, phaseShifterOn),         "Phase shifter",    596,     1),
    onOff(LOUDARA_PRESET(S, enhancerOn),             "Stereo enhancer",  604,     1),
    onOff(LOUDARA_PRESET(S, deEmphasisOn),           "De-emphasis",      983,     0),
    currentSettingsOnly(
    onOff(LOUDARA_NO_PRESET(S, gateOn),              "Gates",           1847, kKeep)),
    onOff(LOUDARA_NO_PRESET(S, virtualSpeakerOn),    "Virtual speaker", 1811,     0),
    onOff(LOUDARA_NO_PRESET(S, truePeakLimiter),     "True-peak limiter",  -1, kKeep),
    number(LOUDARA_NO_PRESET(S, truePeakCeilingDb),  "True-peak limiter ceiling", "dBTP", -6, 0, 0.1, -1, kKeep),
    onOff(LOUDARA_NO_PRESET(S, oversampledClipping), "Oversampled clipping", -1, kKeep),
};
#undef LOUDARA_PRESET
#undef LOUDARA_NO_PRESET

// No two stored values share a byte of the file.
constexpr bool storedValuesApart() {
    for (const ParameterInfo& a : kSoundParameters) {
        for (const ParameterInfo& b : kSoundParameters) {
            if (&a == &b || a.fileOffset < 0 || b.fileOffset < 0) continue;
            for (int i = 0; i < bandsOf(a); ++i) {
                for (int j = 0; j < bandsOf(b); ++j) {
                    const int at = fileOffsetOf(a, i), bt = fileOffsetOf(b, j);
                    if (at < bt + storedBytes(b) && bt < at + storedBytes(a)) return false;
                }
            }
        }
    }
    return true;
}
static_assert(storedValuesApart());

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
    std::vector<std::string_view> names;
    for (const ParameterInfo& info : kSoundParameters) names.emplace_back(info.name);
    if (const std::string_view nearest = nearestName(base, names); !nearest.empty()) {
        const ParameterInfo* info = findSoundParameter(nearest);
        error += "; did you mean " + std::string(nearest) + (info && info->perBand ? "[0..5]" : "") + "?";
    }
    return false;
}

}  // namespace

std::span<const ParameterInfo> soundParameters() { return kSoundParameters; }

std::string_view nearestName(std::string_view given, std::span<const std::string_view> candidates) {
    auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    // Letters to change, add or drop to turn `a` into `b`, case ignored (one row at a time).
    auto distance = [&](std::string_view a, std::string_view b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    auto startsWith = [&](std::string_view name, std::string_view start) {
        if (start.size() > name.size()) return false;
        for (std::size_t i = 0; i < start.size(); ++i) {
            if (lower(name[i]) != lower(start[i])) return false;
        }
        return true;
    };
    std::string_view best;
    std::size_t bestDistance = std::max<std::size_t>(2, given.size() / 3) + 1;
    for (std::string_view candidate : candidates) {
        // A name the given text begins (at least three letters of it) is meant before any other.
        if (given.size() >= 3 && startsWith(candidate, given)) return candidate;
        if (const std::size_t d = distance(given, candidate); d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    }
    return best;
}

const ParameterInfo* findSoundParameter(std::string_view name) {
    for (const ParameterInfo& info : kSoundParameters) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

std::string parameterName(const ParameterInfo& info, int band) {
    return info.perBand ? std::string(info.name) + "[" + std::to_string(band) + "]" : std::string(info.name);
}

double defaultValue(const ParameterInfo& info, int band) {
    struct Rows {
        BandSettings bands[kBandCount];
        ProcessorParams params;
        ProcessorSettings settings;
    } start;
    for (int b = 0; b < kBandCount; ++b) start.bands[b] = defaultBandSettings(b);
    return parameterValue(start, info, band);
}

bool keepLevelsInRange(Processor& p) {
    ProcessorSettings& s = p.settings;
    const double eqBefore[4] = {s.bassEqGainDb, s.bassEqFreqHz, s.bassEqQ, s.bassEqSampleRate};
    bool changed = false;
    for (const ParameterInfo& info : kSoundParameters) {
        if (info.isChoice) continue;
        for (int b = 0; b < bandsOf(info); ++b) {
            changed |= keepWithin(*numberField(p, info, b), info.minValue, info.maxValue);
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

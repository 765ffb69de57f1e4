#include "parameter_names.h"

#include <charconv>
#include <cstdio>
#include <type_traits>

namespace loudara {
namespace {

using Row = PresetRecord;
constexpr std::optional<double> kKeep;  // a file too short to hold the value leaves it as it was

constexpr ParameterInfo band(const char* name, const char* title, double lo, double hi, double BandSettings::*field,
                             int fileOffset, int bandStride, double (Row::*preset)[kBandCount]) {
    ParameterInfo info{name, lo, hi, true, false, false};
    info.bandField = field;
    info.title = title;
    info.unit = "dB";
    info.step = 0.1;
    info.fileOffset = fileOffset;
    info.bandStride = bandStride;
    info.presetRow = preset;
    return info;
}
template <class Owner>
constexpr ParameterInfo number(const char* name, const char* title, const char* unit, double lo, double hi,
                               double step, double Owner::*field, int fileOffset, std::optional<double> whenAbsent,
                               double Row::*preset, bool isChoice = false) {
    ParameterInfo info{name, lo, hi, false, false, isChoice};
    if constexpr (std::is_same_v<Owner, ProcessorParams>) info.paramField = field;
    if constexpr (std::is_same_v<Owner, ProcessorSettings>) info.settingField = field;
    if constexpr (std::is_same_v<Owner, BandSettings>) info.bandField = field;  // band 0's
    info.title = title;
    info.unit = unit;
    info.step = step;
    info.fileOffset = fileOffset;
    info.whenAbsent = whenAbsent;
    info.presetValue = preset;
    return info;
}
template <class Owner>
constexpr ParameterInfo choice(const char* name, const char* title, double lo, double hi, double Owner::*field,
                               int fileOffset, std::optional<double> whenAbsent, double Row::*preset) {
    return number(name, title, "", lo, hi, 1, field, fileOffset, whenAbsent, preset, true);
}
constexpr ParameterInfo onOff(const char* name, const char* title, int32_t ProcessorSettings::*field, int fileOffset,
                              std::optional<double> whenAbsent, int32_t Row::*preset) {
    ParameterInfo info{name, 0.0, 1.0, false, true, true};
    info.switchField = field;
    info.title = title;
    info.fileOffset = fileOffset;
    info.whenAbsent = whenAbsent;
    info.presetSwitch = preset;
    return info;
}
constexpr ParameterInfo currentSettingsOnly(ParameterInfo info) {
    info.currentSettingsOnly = true;
    return info;
}

using P = ProcessorParams;
using S = ProcessorSettings;
using B = BandSettings;

// Every settable parameter, band parameters first. A plain constant table: the chain reads it at
// every block start, so it must never allocate. The file offsets are those of the parameter file
// (see src/persistence/parameter_file.h); the band table there holds depth, drive, output,
// threshold and clip for band 0, then for band 1, and so on.
constexpr ParameterInfo kSoundParameters[] = {
    // per band: name    title            min  max  field             file stride preset
    currentSettingsOnly(
    band("gateDb",      "Gate threshold", -60, -12, &B::gateDb,      1851,  8, nullptr)),
    band("driveDb",     "Drive",            0,  24, &B::driveDb,       16, 40, &Row::driveDb),
    band("depthDb",     "Depth",            0,  24, &B::depthDb,        8, 40, &Row::depthDb),
    band("thresholdDb", "Threshold",      -32,   0, &B::thresholdDb,   32, 40, &Row::thresholdDb),
    band("clipDb",      "Clip level",     -24,   6, &B::clipDb,        40, 40, &Row::clipDb),
    band("outputDb",    "Output level",   -96,   3, &B::outputDb,      24, 40, &Row::outputDb),
    //     name                  title                    unit   min  max  step field                  file  absent preset
    number("agcDepthDb",         "AGC depth",             "dB",    0,  24, 0.1, &P::agcDepthDb,          256, kKeep, &Row::agcDepthDb),
    number("agcThresholdDb",     "AGC threshold",         "dB",  -36,   0, 0.1, &P::agcThresholdDb,      248, kKeep, &Row::agcThresholdDb),
    choice("agcSpeed",           "AGC speed",                      1,   4,      &P::agcSpeed,           1027,     4, &Row::agcSpeed),
    number("enhancerDepthDb",    "Stereo enhancer depth", "dB",  -48,   0, 0.1, &P::enhancerDepthDb,     264, kKeep, &Row::enhancerDepthDb),
    number("enhancerDelayMs",    "Stereo enhancer delay", "ms",    1,  50,   1, &P::enhancerDelayMs,     975,    10, &Row::enhancerDelayMs),
    choice("enhancerMode",       "Stereo enhancer mode",           1,   5,      &P::enhancerMode,        608,     2, &Row::enhancerMode),
    choice("bandReleaseTime",    "Band release time",              1,   5,      &P::bandReleaseTime,     580, kKeep, &Row::bandReleaseTime),
    choice("bandAttackTime",     "Band attack time",               1,   5,      &P::bandAttackTime,     1795,     0, &Row::bandAttackTime),
    choice("bassClipMode",       "Bass clip mode",                 0,   2,      &P::bassClipMode,        616,     2, &Row::bassClipMode),
    choice("preEmphasis",        "Pre-emphasis",                   0,   2,      &P::preEmphasis,         987,     0, &Row::preEmphasis),
    number("hfLimitThresholdDb", "HF limiter threshold",  "dB",  -32,   0, 0.1, &P::hfLimitThresholdDb,  995,   -15, &Row::hfLimitThresholdDb),
    number("hfLimitDepthDb",     "HF limiter depth",      "dB",    0,  48, 0.1, &P::hfLimitDepthDb,     1003,    24, &Row::hfLimitDepthDb),
    number("finalClipDb",        "Final clipper level",   "dB",  -24,   0, 0.1, &P::finalClipDb,         568, kKeep, &Row::finalClipDb),
    choice("clipType",           "Final clipper type",             0,   1,      &P::clipType,           1803,     0, &Row::clipType),
    number("postClipDb",         "Post clip level",       "dB",  -24,   6, 0.1, &P::postClipDb,         1019,  -0.5, &Row::postClipDb),
    number("reductionDelayMs",   "Band 1 reduction delay", "ms",   0, 100,   1, &B::reductionDelayMs,   1043,     0, &Row::reductionDelayMs),
    number("bassEqFreqHz",       "Bass EQ frequency",     "Hz",   50, 150,   5, &S::bassEqFreqHz,        544, kKeep, &Row::bassEqFreqHz),
    number("bassEqGainDb",       "Bass EQ gain",          "dB",    0,  12, 0.5, &S::bassEqGainDb,        536, kKeep, &Row::bassEqGainDb),
    number("bassEqQ",            "Bass EQ Q",             "",    0.2, 2.0, 0.1, &S::bassEqQ,             560, kKeep, &Row::bassEqQ),
    choice("finalLowpass",       "Final low-pass filter",          0,   6,      &S::finalLowpass,        967,     1, &Row::finalLowpass),
    choice("channelMode",        "Virtual speaker channels",       0,   2,      &S::channelMode,          -1, kKeep, nullptr),
    number("speakerSpacingCm",   "Virtual speaker spacing", "cm",  1,  30, 0.5, &S::speakerSpacingCm,   1815,  21.5, nullptr),
    number("roomDistanceM",      "Virtual speaker room distance", "m", 2, 34, 0.5, &S::roomDistanceM,   1823,    10, nullptr),
    number("reflectionPercent",  "Virtual speaker reflections", "%", 0, 100,  1, &S::reflectionPercent,  1831,    35, nullptr),
    //    name                title               field                 file  absent preset
    onOff("bypass",           "Bypass",           &S::bypass,             -1, kKeep, nullptr),
    onOff("bassEqOff",        "Bass EQ off",      &S::bassEqOff,         600,     0, &Row::bassEqOff),
    onOff("phaseShifterOn",   "Phase shifter",    &S::phaseShifterOn,    596,     1, &Row::phaseShifterOn),
    onOff("enhancerOn",       "Stereo enhancer",  &S::enhancerOn,        604,     1, &Row::enhancerOn),
    onOff("deEmphasisOn",     "De-emphasis",      &S::deEmphasisOn,      983,     0, &Row::deEmphasisOn),
    currentSettingsOnly(
    onOff("gateOn",           "Gates",            &S::gateOn,           1847, kKeep, nullptr)),
    onOff("virtualSpeakerOn", "Virtual speaker",  &S::virtualSpeakerOn, 1811,     0, nullptr),
};

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
    return false;
}

}  // namespace

std::span<const ParameterInfo> soundParameters() { return kSoundParameters; }

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

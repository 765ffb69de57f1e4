// The eleven built-in recommended presets.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "params.h"

namespace loudara {
namespace {

struct PresetColumn {
    int commandId;
    const char* menuText;
    const char* menuGroup;
    double drive;
    double depth[kBandCount];
    double threshold;
    double clip[kBandCount];
    double output[kBandCount];
    double bassClipMode, spareB, releaseTime, reductionDelayMs;
    double agcThresholdDb, agcDepthDb, enhancerDepthDb, enhancerMode;
    double bassEqGainDb, bassEqFreqHz, finalLowpass, preEmphasis;
    int32_t deEmphasisOn;
    double hfLimitThresholdDb, hfLimitDepthDb;
    const char* description;
};

constexpr const char* kFmGroup = "Simulates FM Broadcast (with emphasis)";
constexpr const char* kDabGroup = "Simulates Digital Audio Broadcast";
constexpr const char* kNetGroup = "For Internet Broadcast";

// One column per preset; values that every preset shares are filled in by makeRecord.
constexpr PresetColumn kColumns[kPresetCount] = {
    {232, "Smooth Listening(Favorite FM)", kFmGroup, 16, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -3, -3, -3, -3, -3}, {-0.5, -1, -1, -1, -0.5, 0}, 2, 4, 1, 40, -20, 24, -3, 4, 6, 60, 1, 2, 1, 0, 0,
     "Simlutates MegaHit FM Radio Station"},
    {334, "AM Radio Station - Talk Show", kNetGroup, 22, {16, 16, 16, 16, 16, 16}, -18,
     {-4, -4, -4, -4, -4, -4}, {-2, -2, -2, -2, -2, -2}, 2, 4, 4, 20, -36, 24, -6, 2, 3, 100, 5, 0, 0, -32, 24,
     "Simlutates General AM Station - for Talk & Music Show"},
    {335, "Internet Radio Station - Talk && Music Show", kNetGroup, 20, {16, 18, 18, 18, 18, 18}, -18,
     {-4, -4, -4, -4, -4, -4}, {-1, -1, -1, -1, -2, -4}, 2, 4, 4, 20, -36, 24, -6, 2, 3, 80, 4, 0, 0, -32, 24,
     "Simlutates AM Radio / Internet Radio"},
    {336, "Punchy Bass\xEF\xBC\x88Hip-Hop Music\xEF\xBC\x89", kDabGroup, 15, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -3, -2, -2, -2, -5}, {0, -1, -2, -2.5, -3, -4}, 2, 4, 1, 80, -20, 24, -6, 5, 6, 60, 1, 0, 0, -32, 24,
     "Simlutates Hip-Hop FM Radio Station"},
    {337, "Clear Vocal\xEF\xBC\x88POP Music\xEF\xBC\x89", kDabGroup, 16, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -2, -1, -1, -1, -1}, {-2, -2, -2, -2, -2, -2}, 0, 0, 1, 20, -22, 22, -6, 4, 3, 80, 0, 0, 0, -32, 24,
     "Simlutates POP FM Radio Station"},
    {338, "Bright and Dense\xEF\xBC\x88Rock Music\xEF\xBC\x89", kDabGroup, 18, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -2, -1, -1, -1, -3}, {-1, -2, -2, -2.5, -3, -3}, 1, 2, 2, 40, -20, 24, -6, 2, 3, 80, 0, 0, 0, -32, 24,
     "Simlutates Rock FM Radio Station"},
    {339, "Wide Stereo(Genetral Purpose)", kDabGroup, 16, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -3, -2, -3, -3, -5}, {-1, -1, -2, -2.5, -3, -4}, 2, 4, 1, 60, -20, 24, -3, 4, 6, 60, 0, 0, 0, -32, 24,
     "Simlutates Typical FM Radio Station"},
    {340, "Punchy Bass\xEF\xBC\x88Hip-Hop Music\xEF\xBC\x89", kFmGroup, 15, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -2, -2, -2, -2, -3}, {1, 0.5, 0, 0, 0, 0}, 2, 4, 1, 80, -20, 24, -6, 5, 6, 60, 1, 2, 1, -24, 24,
     "Simlutates Hip-Hop FM Radio Station"},
    {341, "Clear Vocal\xEF\xBC\x88POP Music\xEF\xBC\x89", kFmGroup, 16, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -2, -2, -2, -3, -5}, {-1, -1, 0, 0, 0.5, 1}, 0, 0, 1, 20, -22, 22, -6, 4, 3, 100, 1, 2, 1, -24, 24,
     "Simlutates POP FM Radio Station"},
    {342, "Bright and Dense\xEF\xBC\x88Rock Music\xEF\xBC\x89", kFmGroup, 18, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -3, -2, -2, -3, -4}, {0, -1, -1, 0, 1, 1.5}, 1, 2, 2, 40, -20, 24, -6, 2, 3, 80, 1, 2, 1, -24, 24,
     "Simlutates Rock FM Radio Station"},
    {343, "Wide Stereo(Genetral Purpose)", kFmGroup, 16, {12, 12, 12, 12, 12, 12}, -16,
     {-3, -3, -3, -3, -3, -3}, {0, 0, -1, -1, -0.5, 0}, 2, 4, 1, 60, -20, 24, -3, 2, 6, 60, 1, 2, 1, -24, 24,
     "Simlutates Typical FM Radio Station"},
};

PresetRecord makeRecord(const PresetColumn& c) {
    PresetRecord r{};
    for (int b = 0; b < kBandCount; ++b) {
        r.driveDb[b] = c.drive;
        r.depthDb[b] = c.depth[b];
        r.thresholdDb[b] = c.threshold;
        r.clipDb[b] = c.clip[b];
        r.outputDb[b] = c.output[b];
    }
    r.bassClipMode = c.bassClipMode;
    r.spareB = c.spareB;
    r.bandAttackTime = 4;
    r.bandReleaseTime = c.releaseTime;
    r.reductionDelayMs = c.reductionDelayMs;
    r.agcThresholdDb = c.agcThresholdDb;
    r.agcDepthDb = c.agcDepthDb;
    r.enhancerDepthDb = c.enhancerDepthDb;
    r.enhancerDelayMs = 10;
    r.enhancerMode = c.enhancerMode;
    r.bassEqGainDb = c.bassEqGainDb;
    r.bassEqFreqHz = c.bassEqFreqHz;
    r.bassEqQ = 1.4;
    r.finalClipDb = -0.8;
    r.finalLowpass = c.finalLowpass;
    r.enhancerOn = 1;
    r.bassEqOff = 0;
    r.phaseShifterOn = 1;
    r.deEmphasisOn = c.deEmphasisOn;
    r.preEmphasis = c.preEmphasis;
    r.hfLimitThresholdDb = c.hfLimitThresholdDb;
    r.hfLimitDepthDb = c.hfLimitDepthDb;
    r.spareC = -6;
    r.postClipDb = -0.2;
    r.agcSpeed = 4;
    r.clipType = 0;
    std::strncpy(r.description, c.description, sizeof r.description - 1);
    return r;
}

// The presets' names, in the order of the columns: the broadcast they simulate, then the sound.
constexpr const char* kPresetNames[kPresetCount] = {
    "fm-smooth",      "internet-am-talk", "internet-talk-music", "dab-punchy-bass",
    "dab-clear-vocal", "dab-bright-dense", "dab-wide-stereo",     "fm-punchy-bass",
    "fm-clear-vocal",  "fm-bright-dense",  "fm-wide-stereo"};

struct PresetTable {
    BuiltinPreset presets[kPresetCount];
    PresetTable() {
        for (int i = 0; i < kPresetCount; ++i) {
            presets[i] = {kColumns[i].commandId, kColumns[i].menuText, kColumns[i].menuGroup,
                          makeRecord(kColumns[i]), kPresetNames[i]};
        }
    }
};

}  // namespace

const BuiltinPreset (&builtinPresets())[kPresetCount] {
    static const PresetTable table;
    return table.presets;
}

int builtinPresetId(std::string_view text) {
    for (const BuiltinPreset& preset : builtinPresets()) {
        if (text == std::to_string(preset.commandId)) return preset.commandId;
        const std::string_view name = preset.name;
        if (text.size() == name.size() &&
            std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            })) {
            return preset.commandId;
        }
    }
    return 0;
}

const PresetRecord& presetForCommand(int commandId) {
    const auto& presets = builtinPresets();
    if (commandId >= 334 && commandId <= 343) return presets[commandId - 333].record;
    return presets[0].record;
}

BandDerived deriveBand(const BandSettings& band) {
    BandDerived d;
    d.driveFactor = dbToLinear(band.driveDb);
    d.depthFactor = dbToLinear(band.depthDb);
    d.thresholdLevel = dbToLinear(band.thresholdDb) * 32767.0;
    d.clipLevel = dbToLinear(band.clipDb) * 32767.0;
    d.outputFactor = dbToLinear(band.outputDb);
    d.gateFactor = dbToLinear(-band.gateDb);
    return d;
}

}  // namespace loudara

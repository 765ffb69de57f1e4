#include "ui/control_panel.h"

#include <cstdio>
#include <cstdlib>

namespace loudara {
namespace {

constexpr int kBandRowY[kBandCount] = {161, 175, 189, 203, 217, 231};

struct ColumnLayout {
    int x;
    double BandSettings::*field;
    double minValue, maxValue;
};
constexpr ColumnLayout kColumnLayouts[kKnobColumns] = {
    {286, &BandSettings::gateDb, -60.0, -12.0},      {341, &BandSettings::driveDb, 0.0, 24.0},
    {396, &BandSettings::depthDb, 0.0, 24.0},        {451, &BandSettings::thresholdDb, -32.0, 0.0},
    {506, &BandSettings::clipDb, -24.0, 6.0},        {561, &BandSettings::outputDb, -96.0, 3.0},
};

// The hit test runs over the columns in this order; the gate column only while gates are on.
constexpr int kHitOrder[] = {kDepthColumn, kDriveColumn, kOutputColumn, kThresholdColumn, kClipColumn};

Knob makeKnob(int x, int y, double* value, double step, double minValue, double maxValue, const char* labelKey) {
    Knob k;
    k.x = x;
    k.y = y;
    k.value = value;
    k.step = step;
    k.minValue = minValue;
    k.maxValue = maxValue;
    k.labelKey = labelKey;
    return k;
}

void hitTest(Knob& k, int x, int y, KnobModifiers m) {
    k.pressed = kNotPressed;
    if (y < k.y || y > k.y + kKnobHeight) return;
    double& v = *k.value;
    const bool toLimit = m.shift && m.ctrl && m.alt;
    if (x >= k.x + kKnobDownLeft && x <= k.x + kKnobDownRight) {
        k.pressed = kDownPressed;
        v = toLimit ? k.minValue : v - (m.shift ? 10.0 * k.step : k.step);
    }
    if (x >= k.x + kKnobUpLeft && x <= k.x + kKnobUpRight) {
        k.pressed = kUpPressed;
        v = toLimit ? k.maxValue : v + (m.shift ? 10.0 * k.step : k.step);
    }
    if (v < k.minValue) v = k.minValue;
    if (v > k.maxValue) v = k.maxValue;
}

std::string formatValue(const char* format, double value) {
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

const char* pick(int n, std::initializer_list<const char*> labels) {
    if (n < 0 || n >= static_cast<int>(labels.size())) return "";
    return labels.begin()[n];
}

}  // namespace

void BuildKnobTable(KnobTable& table, Processor& p) {
    for (int c = 0; c < kKnobColumns; ++c) {
        const ColumnLayout& column = kColumnLayouts[c];
        for (int b = 0; b < kBandCount; ++b) {
            Knob& k = table.columns[c][b];
            k = makeKnob(column.x, kBandRowY[b], &(p.bands[b].*column.field), 0.1, column.minValue, column.maxValue, "%5.1f");
            k.gateTag = c == kGateColumn;
        }
        table.allBandsDelta[c] = 0.0;
    }

    ProcessorParams& r = p.params;
    ProcessorSettings& s = p.settings;
    Knob* out = table.singles;
    int n = 0;
    auto add = [&](int x, int y, double* value, double step, double minValue, double maxValue, const char* key) {
        out[n] = makeKnob(x, y, value, step, minValue, maxValue, key);
        return n++;
    };
    auto addAllBands = [&](int column) {
        table.allBandsKnob[column] =
            add(kColumnLayouts[column].x, kAllBandsRowY, &table.allBandsDelta[column], 0.1, -1.0, 1.0, "none");
    };

    add(3, 159, &r.agcDepthDb, 0.1, 0.0, 24.0, "%5.1f");
    add(3, 173, &r.agcThresholdDb, 0.1, -36.0, 0.0, "%5.1f");
    add(98, 218, &r.enhancerDepthDb, 0.1, -48.0, 0.0, "%5.1f");
    add(98, 232, &r.enhancerDelayMs, 1.0, 1.0, 50.0, " %2.0fms");
    table.bassEqKnobs[0] = add(3, 219, &s.bassEqFreqHz, 5.0, 50.0, 150.0, "%4.0f");
    table.bassEqKnobs[1] = add(3, 233, &s.bassEqGainDb, 0.5, 0.0, 12.0, "%5.1f");
    table.bassEqKnobs[2] = add(3, 247, &s.bassEqQ, 0.1, 0.2, 2.0, "%5.1f");
    add(653, 159, &r.finalClipDb, 0.1, -24.0, 0.0, "%5.1f");
    table.envelopeKnobs[1] = add(98, 174, &r.bandReleaseTime, 1.0, 1.0, 5.0, "attrel");
    add(3, 187, &r.agcSpeed, 1.0, 1.0, 4.0, "speed");
    add(98, 246, &r.enhancerMode, 1.0, 1.0, 5.0, "maxx");
    add(185, 247, &p.bands[0].reductionDelayMs, 1.0, 0.0, 100.0, "%5.0f");
    // A negative step: up lowers the selector towards "thru", down raises it towards "4k"; the
    // limits keep its integer part within 0..6.
    table.finalLowpassKnob = add(653, 173, &s.finalLowpass, -1.0, 0.5, 6.5, "finlpf");
    addAllBands(kDriveColumn);
    addAllBands(kDepthColumn);
    addAllBands(kThresholdColumn);
    addAllBands(kClipColumn);
    addAllBands(kOutputColumn);
    add(185, 195, &r.hfLimitThresholdDb, 0.1, -32.0, 0.0, "hflim");
    add(185, 209, &r.hfLimitDepthDb, 0.1, 0.0, 48.0, "hflim");
    add(185, 160, &r.preEmphasis, 1.0, 0.0, 2.0, "pre");
    add(653, 221, &r.postClipDb, 0.1, -24.0, 6.0, "%5.1f");
    table.envelopeKnobs[0] = add(98, 160, &r.bandAttackTime, 1.0, 1.0, 5.0, "attrel");
    add(653, 187, &r.clipType, 1.0, 0.0, 1.0, "clptyp");
    add(211, 293, &s.speakerSpacingCm, 0.5, 1.0, 30.0, "%4.1fcm");
    add(321, 293, &s.roomDistanceM, 0.5, 2.0, 34.0, "%4.1fm");
    add(432, 293, &s.reflectionPercent, 1.0, 0.0, 100.0, "%4.0f%%");
    add(542, 293, &s.channelMode, 1.0, 0.0, 2.0, "mute");
    addAllBands(kGateColumn);
}

bool KnobClick(KnobTable& table, Processor& p, int x, int y, KnobModifiers modifiers) {
    for (int c : kHitOrder) {
        for (Knob& k : table.columns[c]) hitTest(k, x, y, modifiers);
    }
    if (p.settings.gateOn == 1) {
        for (Knob& k : table.columns[kGateColumn]) hitTest(k, x, y, modifiers);
    }
    for (Knob& k : table.singles) hitTest(k, x, y, modifiers);

    bool hit = false;
    for (const Knob* group : {&table.columns[0][0], &table.singles[0]}) {
        const int count = group == table.singles ? kSingleKnobs : kKnobColumns * kBandCount;
        for (int i = 0; i < count; ++i) hit = hit || group[i].pressed != kNotPressed;
    }

    // The all-bands knobs move the whole column, each band within its own knob's limits; the
    // gate column's knob works whether gates are on or not.
    for (int c = 0; c < kKnobColumns; ++c) {
        if (table.singles[table.allBandsKnob[c]].pressed == kNotPressed) continue;
        for (Knob& k : table.columns[c]) {
            double& v = *k.value;
            v += table.allBandsDelta[c];
            if (v < k.minValue) v = k.minValue;
            if (v > k.maxValue) v = k.maxValue;
        }
    }
    for (double& delta : table.allBandsDelta) delta = 0.0;

    auto pressed = [&](int index) { return table.singles[index].pressed != kNotPressed; };
    if (pressed(table.bassEqKnobs[0]) || pressed(table.bassEqKnobs[1]) || pressed(table.bassEqKnobs[2])) {
        designBassEq(p);
    }
    if (pressed(table.envelopeKnobs[0]) || pressed(table.envelopeKnobs[1])) selectEnvelopeTimes(p);
    if (pressed(table.finalLowpassKnob)) selectFinalLowpass(p);
    return hit;
}

std::string KnobLabel(const Knob& knob, const Processor& p) {
    const std::string key = knob.labelKey;
    const double value = *knob.value;
    const int n = truncated(value);
    if (key == "none") return {};
    if (key == "pre") return pick(n, {" Off", " 50us", " 75us"});
    if (key == "speed") return n == 1 ? " slow" : n == 2 ? "m.slow" : n == 3 ? "m.fast" : " fast";
    if (key == "attrel") return n == 1 ? "100ms" : n == 2 ? " 50ms" : n == 3 ? " 25ms" : n == 4 ? " 12ms" : "  6ms";
    if (key == "finlpf") return pick(n, {" thru", " 15k", " 12k", " 10k", "  8k", "  6k", "  4k"});
    if (key == "hflim") return truncated(p.params.preEmphasis) == 0 ? " ---" : formatValue("%5.1f", value);
    if (key == "maxx") return pick(n - 1, {"1.LvN", "2.Lv1", "3.Lv2", "4.Tr-", "5.Tr+"});
    if (key == "clptyp") return pick(n, {"ADPTV", "HARD "});
    if (key == "mute") return pick(n, {" L<   ", " L<>R ", "   >R "});
    if (knob.gateTag && p.settings.gateOn == 0) return " ---";
    if (key.empty()) return {};
    return formatValue(knob.labelKey, value);
}

namespace {

struct ColumnName {
    const char* title;
    const char* script;
};
constexpr ColumnName kColumnNames[kKnobColumns] = {
    {"Gate threshold", "gateDb"}, {"Drive", "driveDb"},       {"Depth", "depthDb"},
    {"Threshold", "thresholdDb"}, {"Clip level", "clipDb"},   {"Output level", "outputDb"},
};

struct SingleName {
    const double* (*field)(const Processor&);
    const char* title;
    const char* unit;  // empty: a choice of settings, no unit
    const char* script;
};
#define LOUDARA_FIELD(expr) [](const Processor& q) -> const double* { return &q.expr; }
const SingleName kSingleNames[] = {
    {LOUDARA_FIELD(params.agcDepthDb), "AGC depth", "dB", "agcDepthDb"},
    {LOUDARA_FIELD(params.agcThresholdDb), "AGC threshold", "dB", "agcThresholdDb"},
    {LOUDARA_FIELD(params.agcSpeed), "AGC speed", "", "agcSpeed"},
    {LOUDARA_FIELD(params.enhancerDepthDb), "Stereo enhancer depth", "dB", "enhancerDepthDb"},
    {LOUDARA_FIELD(params.enhancerDelayMs), "Stereo enhancer delay", "ms", "enhancerDelayMs"},
    {LOUDARA_FIELD(params.enhancerMode), "Stereo enhancer mode", "", "enhancerMode"},
    {LOUDARA_FIELD(params.bandAttackTime), "Band attack time", "", "bandAttackTime"},
    {LOUDARA_FIELD(params.bandReleaseTime), "Band release time", "", "bandReleaseTime"},
    {LOUDARA_FIELD(settings.bassEqFreqHz), "Bass EQ frequency", "Hz", "bassEqFreqHz"},
    {LOUDARA_FIELD(settings.bassEqGainDb), "Bass EQ gain", "dB", "bassEqGainDb"},
    {LOUDARA_FIELD(settings.bassEqQ), "Bass EQ Q", "", "bassEqQ"},
    {LOUDARA_FIELD(bands[0].reductionDelayMs), "Band 1 reduction delay", "ms", "reductionDelayMs"},
    {LOUDARA_FIELD(params.preEmphasis), "Pre-emphasis", "", "preEmphasis"},
    {LOUDARA_FIELD(params.hfLimitThresholdDb), "HF limiter threshold", "dB", "hfLimitThresholdDb"},
    {LOUDARA_FIELD(params.hfLimitDepthDb), "HF limiter depth", "dB", "hfLimitDepthDb"},
    {LOUDARA_FIELD(params.finalClipDb), "Final clipper level", "dB", "finalClipDb"},
    {LOUDARA_FIELD(settings.finalLowpass), "Final low-pass filter", "", "finalLowpass"},
    {LOUDARA_FIELD(params.clipType), "Final clipper type", "", "clipType"},
    {LOUDARA_FIELD(params.postClipDb), "Post clip level", "dB", "postClipDb"},
    {LOUDARA_FIELD(settings.speakerSpacingCm), "Virtual speaker spacing", "cm", "speakerSpacingCm"},
    {LOUDARA_FIELD(settings.roomDistanceM), "Virtual speaker room distance", "m", "roomDistanceM"},
    {LOUDARA_FIELD(settings.reflectionPercent), "Virtual speaker reflections", "%", "reflectionPercent"},
    {LOUDARA_FIELD(settings.channelMode), "Virtual speaker channels", "", "channelMode"},
};
#undef LOUDARA_FIELD

bool covers(const Knob& k, int x, int y) {
    return x >= k.x + kKnobDownLeft && x <= k.x + kKnobUpRight && y >= k.y && y <= k.y + kKnobHeight;
}

}  // namespace

const Knob* KnobAt(const KnobTable& table, int x, int y) {
    for (const auto& column : table.columns) {
        for (const Knob& k : column) {
            if (covers(k, x, y)) return &k;
        }
    }
    for (const Knob& k : table.singles) {
        if (covers(k, x, y)) return &k;
    }
    return nullptr;
}

bool KnobWheel(KnobTable& table, Processor& p, int x, int y, int steps, KnobModifiers modifiers) {
    const Knob* knob = KnobAt(table, x, y);
    if (knob == nullptr) return false;
    const int arrowX = knob->x + (steps > 0 ? (kKnobUpLeft + kKnobUpRight) / 2 : (kKnobDownLeft + kKnobDownRight) / 2);
    const int arrowY = knob->y + kKnobHeight / 2;
    for (int i = 0; i < std::abs(steps); ++i) KnobClick(table, p, arrowX, arrowY, modifiers);
    for (auto& column : table.columns) {
        for (Knob& k : column) k.pressed = kNotPressed;
    }
    for (Knob& k : table.singles) k.pressed = kNotPressed;
    return true;
}

std::string KnobTipText(const KnobTable& table, const Processor& p, int x, int y) {
    const Knob* knob = KnobAt(table, x, y);
    if (knob == nullptr) return {};
    char text[160];
    for (int c = 0; c < kKnobColumns; ++c) {
        for (int b = 0; b < kBandCount; ++b) {
            if (knob != &table.columns[c][b]) continue;
            std::snprintf(text, sizeof text, "%s, band %d (dB) - %s[%d]", kColumnNames[c].title, b + 1,
                          kColumnNames[c].script, b);
            return text;
        }
        if (knob->value == &table.allBandsDelta[c]) {
            std::snprintf(text, sizeof text, "%s, all six bands together (dB)", kColumnNames[c].title);
            return text;
        }
    }
    for (const SingleName& name : kSingleNames) {
        if (name.field(p) != knob->value) continue;
        if (name.unit[0] != '\0') {
            std::snprintf(text, sizeof text, "%s (%s) - %s", name.title, name.unit, name.script);
        } else {
            std::snprintf(text, sizeof text, "%s - %s", name.title, name.script);
        }
        return text;
    }
    return {};
}

}  // namespace loudara

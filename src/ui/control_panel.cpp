#include "ui/control_panel.h"

#include <cstdio>
#include <cstdlib>

namespace loudara {
namespace {

constexpr int kBandRowY[kBandCount] = {161, 175, 189, 203, 217, 231};

struct ColumnLayout {
    int x;
    const char* parameter;
};
constexpr ColumnLayout kColumnLayouts[kKnobColumns] = {
    {286, "gateDb"}, {341, "driveDb"}, {396, "depthDb"}, {451, "thresholdDb"}, {506, "clipDb"}, {561, "outputDb"},
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

// A knob for a sound parameter, with the range and step of its table entry.
Knob parameterKnob(int x, int y, Processor& p, const char* name, int band, const char* labelKey) {
    const ParameterInfo& info = *findSoundParameter(name);
    Knob k = makeKnob(x, y, numberField(p, info, band), info.step, info.minValue, info.maxValue, labelKey);
    k.parameter = &info;
    return k;
}

}  // namespace

void BuildKnobTable(KnobTable& table, Processor& p) {
    for (int c = 0; c < kKnobColumns; ++c) {
        const ColumnLayout& column = kColumnLayouts[c];
        for (int b = 0; b < kBandCount; ++b) {
            Knob& k = table.columns[c][b];
            k = parameterKnob(column.x, kBandRowY[b], p, column.parameter, b, "%5.1f");
            k.gateTag = c == kGateColumn;
        }
        table.allBandsDelta[c] = 0.0;
    }

    Knob* out = table.singles;
    int n = 0;
    auto add = [&](int x, int y, const char* name, const char* key) {
        out[n] = parameterKnob(x, y, p, name, 0, key);
        return n++;
    };
    auto addAllBands = [&](int column) {
        const int x = kColumnLayouts[column].x;
        out[n] = makeKnob(x, kAllBandsRowY, &table.allBandsDelta[column], 0.1, -1.0, 1.0, "none");
        table.allBandsKnob[column] = n++;
    };

    add(3, 159, "agcDepthDb", "%5.1f");
    add(3, 173, "agcThresholdDb", "%5.1f");
    add(98, 218, "enhancerDepthDb", "%5.1f");
    add(98, 232, "enhancerDelayMs", " %2.0fms");
    table.bassEqKnobs[0] = add(3, 219, "bassEqFreqHz", "%4.0f");
    table.bassEqKnobs[1] = add(3, 233, "bassEqGainDb", "%5.1f");
    table.bassEqKnobs[2] = add(3, 247, "bassEqQ", "%5.1f");
    add(653, 159, "finalClipDb", "%5.1f");
    table.envelopeKnobs[1] = add(98, 174, "bandReleaseTime", "attrel");
    add(3, 187, "agcSpeed", "speed");
    add(98, 246, "enhancerMode", "maxx");
    add(185, 247, "reductionDelayMs", "%5.0f");
    // A negative step: up lowers the selector towards "thru", down raises it towards "4k"; the
    // limits keep its integer part within 0..6.
    table.finalLowpassKnob = add(653, 173, "finalLowpass", "finlpf");
    Knob& finalLowpass = out[table.finalLowpassKnob];
    finalLowpass.step = -1.0;
    finalLowpass.minValue = 0.5;
    finalLowpass.maxValue = 6.5;
    addAllBands(kDriveColumn);
    addAllBands(kDepthColumn);
    addAllBands(kThresholdColumn);
    addAllBands(kClipColumn);
    addAllBands(kOutputColumn);
    add(185, 195, "hfLimitThresholdDb", "hflim");
    add(185, 209, "hfLimitDepthDb", "hflim");
    add(185, 160, "preEmphasis", "pre");
    add(653, 221, "postClipDb", "%5.1f");
    table.envelopeKnobs[0] = add(98, 160, "bandAttackTime", "attrel");
    add(653, 187, "clipType", "clptyp");
    add(211, 293, "speakerSpacingCm", "%4.1fcm");
    add(321, 293, "roomDistanceM", "%4.1fm");
    add(432, 293, "reflectionPercent", "%4.0f%%");
    add(542, 293, "channelMode", "mute");
    addAllBands(kGateColumn);
    add(653, 256, "truePeakCeilingDb", "%5.1f");
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

    // A knob turns while sound may be playing: the filters take the new tables keeping their
    // state (a stream's start installs them from silence anyway).
    auto pressed = [&](int index) { return table.singles[index].pressed != kNotPressed; };
    if (pressed(table.bassEqKnobs[0]) || pressed(table.bassEqKnobs[1]) || pressed(table.bassEqKnobs[2])) {
        retuneBassEq(p);
    }
    if (pressed(table.envelopeKnobs[0]) || pressed(table.envelopeKnobs[1])) retuneEnvelopeTimes(p);
    if (pressed(table.finalLowpassKnob)) retuneFinalLowpass(p);
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

std::string KnobTipText(const KnobTable& table, const Processor& /*p*/, int x, int y) {
    const Knob* knob = KnobAt(table, x, y);
    if (knob == nullptr) return {};
    char text[160];
    for (int c = 0; c < kKnobColumns; ++c) {
        const ParameterInfo& column = *table.columns[c][0].parameter;
        for (int b = 0; b < kBandCount; ++b) {
            if (knob != &table.columns[c][b]) continue;
            std::snprintf(text, sizeof text, "%s, band %d (%s) - %s", column.title, b + 1, column.unit,
                          parameterName(column, b).c_str());
            return text;
        }
        if (knob->value == &table.allBandsDelta[c]) {
            std::snprintf(text, sizeof text, "%s, all six bands together (%s)", column.title, column.unit);
            return text;
        }
    }
    if (const ParameterInfo* info = knob->parameter) {
        if (info->unit[0] != '\0') {
            std::snprintf(text, sizeof text, "%s (%s) - %s", info->title, info->unit, info->name);
        } else {
            std::snprintf(text, sizeof text, "%s - %s", info->title, info->name);
        }
        return text;
    }
    return {};
}

}  // namespace loudara

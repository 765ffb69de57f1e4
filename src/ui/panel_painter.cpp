#include "ui/panel_painter.h"

#include <algorithm>
#include <cmath>

namespace loudara {
namespace {

constexpr int kMeterHeight = 75;
constexpr int kMeterBottom = 118;

int clampLevel(double level) {
    if (!(level > 0)) return 0;
    return std::min(24, static_cast<int>(level));
}

const QImage& meterImage(const Skin& skin, int level) { return skin.image(img::MeterFirst + level); }

void drawMeter(QPainter& painter, const Skin& skin, int x, int y, int level, int width = 24) {
    painter.drawImage(QPoint(x, y), meterImage(skin, level), QRect(0, 0, width, kMeterHeight));
}

// Peak meters grow upwards: the meter image upside down with its bottom row at y = 118.
void drawRisingMeter(QPainter& painter, const Skin& skin, int x, int level, int width = 24) {
    const QImage flipped = meterImage(skin, level).mirrored(false, true);
    painter.drawImage(QPoint(x, kMeterBottom - kMeterHeight + 1), flipped, QRect(0, 0, width, kMeterHeight));
}

int rateImage(uint32_t rate) {
    switch (rate) {
        case 32000: return img::Rate32;
        case 44100: return img::Rate44;
        case 48000: return img::Rate48;
        default: return img::RateNone;
    }
}

int gateLightImage(int gateState) {
    switch (gateState) {
        case 0: return img::GateLight0;
        case 1: return img::GateLight1;
        case 2: return img::GateLight2;
        default: return img::GateLight3;
    }
}

const int kToggleImages[kToggleButtons][2] = {{248, 249}, {244, 245}, {246, 247}, {254, 255}, {252, 253},
                                              {250, 251}, {277, 612}, {273, 274}, {img::TruePeakNormal, img::TruePeakPressed}};

}  // namespace

int MeterLevel(double value, double scale) { return clampLevel((value + 1.0) / 30719.0 * scale); }

int PeakMeterLevel(double peak) { return clampLevel(peak / 32767.0 * 25.0); }

void PaintPanel(QPainter& painter, const Skin& skin, PanelButtons& buttons, KnobTable& knobs, AppState& state,
                Processor& p, const QString& timeText) {
    painter.drawImage(QPoint(0, kBackgroundTop), skin.image(img::Background));

    for (int i = 0; i < kToggleButtons; ++i) {
        const PanelButton& b = buttons.toggles[i];
        painter.drawImage(QPoint(b.x, b.y), skin.image(kToggleImages[i][b.pressed ? 1 : 0]));
    }
    painter.drawImage(QPoint(buttons.reset.x, buttons.reset.y),
                      skin.image(buttons.reset.pressed ? img::ResetPressed : img::ResetNormal));

    const Playlist& list = state.playlist;
    const bool playing = state.playState == PlayState::Playing;
    const SongRecord& playingSong = list.songs[std::clamp(list.playingSong, 0, kMaxSongs - 1)];
    for (int i = 0; i < kTransportButtons; ++i) {
        if (state.playState == PlayState::Stopped && i != 2 && i != 3) continue;
        if (state.playState != PlayState::Stopped && playingSong.kind == SongKind::Mp3 && i < 2) continue;
        const PanelButton& b = buttons.transports[i];
        painter.drawImage(QPoint(b.x, b.y), skin.image(img::TransportStrip),
                          QRect(b.sourceX, b.pressed ? kTransportHeight : 0, b.width, kTransportHeight));
    }

    for (int i = 0; i < kToggleButtons; ++i) {
        const PanelButton& b = buttons.toggles[i];
        painter.drawImage(QPoint(b.x - kLightOffset, b.y),
                          skin.image(ToggleLightOn(i, state, p) ? img::LightOn : img::LightOff));
    }

    if (state.exportRunning == 0) {
        int channels = img::ChannelsNone;
        if (playing) channels = playingSong.channels == 1 ? img::Mono : (playingSong.channels == 2 ? img::Stereo : channels);
        painter.drawImage(QPoint(495, 34), skin.image(channels));
        painter.drawImage(QPoint(575, 34), skin.image(playing ? rateImage(playingSong.sampleRate) : img::RateNone));
    }

    ProcessorParams& r = p.params;
    ProcessorSettings& s = p.settings;
    drawMeter(painter, skin, 94, 44, MeterLevel(r.agcLowReduction, 36));
    drawMeter(painter, skin, 118, 44, MeterLevel(r.agcHighReduction, 36));
    for (int b = 0; b < kBandCount; ++b) {
        const BandSettings& band = p.bands[b];
        drawMeter(painter, skin, 187 + 24 * b, 44, MeterLevel(band.reductionPeak, 25));
        painter.drawImage(QPoint(187 + 24 * b, 120), skin.image(band.clipFlag != 0 ? img::ClipOn : img::ClipOff));
        painter.drawImage(QPoint(305, 163 + 14 * b),
                          skin.image(s.gateOn != 0 ? gateLightImage(band.gateState) : img::GateLight3));
    }
    const struct {
        double* peak;
        int x;
    } peaks[] = {{&r.inputPeakL, 33}, {&r.inputPeakR, 57}, {&r.outputPeakL, 345}, {&r.outputPeakR, 369}};
    for (const auto& m : peaks) {
        drawRisingMeter(painter, skin, m.x, PeakMeterLevel(*m.peak));
        *m.peak *= 0.9;
    }
    painter.drawImage(QPoint(345, 120), skin.image(s.clipFlagL != 0 ? img::ClipOn : img::ClipOff));
    painter.drawImage(QPoint(369, 120), skin.image(s.clipFlagR != 0 ? img::ClipOn : img::ClipOff));

    drawRisingMeter(painter, skin, 159, MeterLevel(r.hfLimitPeak, 25), 12);
    r.hfLimitPeak *= 0.85;
    r.hfReductionHold = std::max(r.hfReductionHold, std::max(std::fabs(r.hfReductionL), std::fabs(r.hfReductionR)));
    r.hfReductionHold *= 0.85;
    drawMeter(painter, skin, 145, 44, MeterLevel(r.hfReductionHold, 25), 12);
    drawRisingMeter(painter, skin, 6, MeterLevel(r.enhancerPeak, 25), 12);
    r.enhancerPeak *= 0.85;

    QString time = timeText;
    if (state.exportRunning != 0) time = QString::asprintf("%d/%d", list.currentSong, list.songCount);
    DrawSkinText(painter, skin, 405, 33, time, SkinTextStyle::Large);

    for (BandSettings& band : p.bands) {
        band.reductionPeak *= 0.85;
        band.clipFlag = 0;
    }
    s.clipFlagL = 0;
    s.clipFlagR = 0;

    DrawKnobs(painter, skin, knobs, p);
}

void DrawKnobs(QPainter& painter, const Skin& skin, KnobTable& knobs, const Processor& p) {
    auto draw = [&](Knob& k) {
        DrawSkinText(painter, skin, k.x + kKnobLabelX, k.y, QString::fromStdString(KnobLabel(k, p)), SkinTextStyle::Small);
        painter.drawImage(QPoint(k.x + kKnobDownArrowX, k.y),
                          skin.image(k.pressed == kDownPressed ? img::KnobDownPressed : img::KnobDown));
        painter.drawImage(QPoint(k.x + kKnobUpArrowX, k.y),
                          skin.image(k.pressed == kUpPressed ? img::KnobUpPressed : img::KnobUp));
        k.pressed = kNotPressed;
    };
    constexpr int kDrawOrder[] = {kDepthColumn, kDriveColumn, kOutputColumn, kThresholdColumn, kClipColumn, kGateColumn};
    for (int b = 0; b < kBandCount; ++b) {
        for (int c : kDrawOrder) draw(knobs.columns[c][b]);
    }
    for (Knob& k : knobs.singles) draw(k);
}

}  // namespace loudara

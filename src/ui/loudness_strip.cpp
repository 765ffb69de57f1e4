#include "ui/loudness_strip.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace loudara {

namespace {

// The skin's colours (ui/skin.cpp): panel, recessed wells, LED segments.
const QColor kStripTop(0x26, 0x2b, 0x32);
const QColor kStripBottom(0x1c, 0x20, 0x26);
const QColor kSection(0x2a, 0x30, 0x38);
const QColor kWell(0x0c, 0x0e, 0x11);
const QColor kLedGreen(0x3c, 0xe0, 0x5a);
const QColor kLedYellow(0xf0, 0xd0, 0x30);
const QColor kLedRed(0xff, 0x3a, 0x2a);

constexpr int kBarX = 110;
constexpr int kSegmentWidth = 6;
constexpr int kValueX = kBarX + kLoudnessBarSegments * kSegmentWidth + 8;

// -40..-17 LUFS green, -16..-7 yellow, the loudest six red: the proportions of the panel's meters.
QColor segmentColour(int segment) {
    if (segment < 24) return kLedGreen;
    if (segment < 34) return kLedYellow;
    return kLedRed;
}

QString figureText(double value, int decimals) {
    if (!hasValue(value) || !std::isfinite(value)) return "--.-";
    return QString::number(value, 'f', decimals);
}

}  // namespace

int LoudnessBarLevel(double lufs) {
    if (!hasValue(lufs) || !std::isfinite(lufs)) return 0;
    return std::clamp(static_cast<int>(std::floor(lufs + 40.0)) + 1, 0, kLoudnessBarSegments);
}

LoudnessStrip::LoudnessStrip(const Skin& skin, QWidget* parent) : QWidget(parent), skin_(skin) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedHeight(kLoudnessStripHeight);
    setToolTip("Loudness of the processed sound. Click to start the integrated loudness and true peak again.");
}

void LoudnessStrip::showExport(const ExportLoudness& loudness) {
    if (!loudness.measured) return;
    const LoudnessFigures& heard = loudness.mp3 && loudness.afterCodecMeasured ? loudness.afterCodec : loudness.output;
    LoudnessStripFigures f;
    f.mode = LoudnessStripMode::Export;
    f.momentaryLufs = heard.maxMomentaryLufs;
    f.shortTermLufs = heard.maxShortTermLufs;
    f.integratedLufs = heard.integratedLufs;
    f.truePeakDbtp = heard.truePeakDbtp;
    export_ = f;
    startsAtExport_ = live_ ? live_->starts() : 0;
    update();
}

LoudnessStripFigures LoudnessStrip::figures() const {
    const bool newStream = live_ && live_->starts() != startsAtExport_;
    if (export_ && !newStream) return *export_;
    LoudnessStripFigures f;
    if (!live_ || live_->starts() == 0) return f;
    const StreamLoudnessReading r = live_->reading();
    f.mode = LoudnessStripMode::Live;
    // Once the stream has stopped, only what it added up is left to show.
    if (streaming_) {
        f.momentaryLufs = r.momentaryLufs;
        f.shortTermLufs = r.shortTermLufs;
    }
    f.integratedLufs = r.integratedLufs;
    f.truePeakDbtp = r.truePeakDbtp;
    return f;
}

void LoudnessStrip::resetMeasurement() {
    export_.reset();
    if (live_) live_->reset();
    update();
}

void LoudnessStrip::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) resetMeasurement();
}

void LoudnessStrip::paintEvent(QPaintEvent*) {
    const LoudnessStripFigures f = figures();
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, kStripTop);
    g.setColorAt(1, kStripBottom);
    p.fillRect(rect(), g);
    p.setPen(QColor(255, 255, 255, 6));
    for (int y = 0; y < height(); y += 2) p.drawLine(0, y, width() - 1, y);

    // One recessed section, as the panel's.
    const QRect section(2, 1, 741, height() - 3);
    p.fillRect(section, kSection);
    p.setPen(QColor(0x0e, 0x10, 0x13));
    p.drawLine(section.topLeft(), section.topRight());
    p.drawLine(section.topLeft(), section.bottomLeft());
    p.setPen(QColor(0x44, 0x4c, 0x56));
    p.drawLine(section.bottomLeft(), section.bottomRight());
    p.drawLine(section.topRight(), section.bottomRight());

    const auto caption = [&](int x, int y, const QString& text) { DrawSkinText(p, skin_, x, y, text, SkinTextStyle::SmallAlt); };
    const auto value = [&](int x, int y, const QString& text) { DrawSkinText(p, skin_, x, y, text, SkinTextStyle::Small); };

    caption(8, 4, "LOUDNESS");
    const char* modeText = f.mode == LoudnessStripMode::Export ? "EXPORT" : (f.mode == LoudnessStripMode::Live ? "LIVE" : "----");
    value(8, 17, modeText);

    const bool exported = f.mode == LoudnessStripMode::Export;
    const struct {
        const char* label;
        double lufs;
        int y;
    } bars[] = {{exported ? "M MAX" : "MOMENT", f.momentaryLufs, 5}, {exported ? "S MAX" : "SHORT", f.shortTermLufs, 18}};
    for (const auto& bar : bars) {
        caption(68, bar.y - 1, bar.label);
        p.fillRect(QRect(kBarX - 1, bar.y, kLoudnessBarSegments * kSegmentWidth + 1, 9), kWell);
        const int lit = LoudnessBarLevel(bar.lufs);
        for (int s = 0; s < kLoudnessBarSegments; ++s) {
            QColor c = segmentColour(s);
            if (s >= lit) c = c.darker(650);
            p.fillRect(QRect(kBarX + s * kSegmentWidth, bar.y + 2, kSegmentWidth - 1, 5), c);
        }
        value(kValueX, bar.y - 1, figureText(bar.lufs, 1));
    }
    // The scale under nothing: tick captions would crowd 6-pixel segments, so the numbers say it.
    caption(kValueX + 34, 4, "LUFS");
    caption(kValueX + 34, 17, "LUFS");

    const int right = kValueX + 70;
    p.fillRect(QRect(right, 3, 745 - right - 8, height() - 7), kWell);
    caption(right + 6, 4, "INTEGRATED");
    value(right + 72, 4, figureText(f.integratedLufs, 1) + " LUFS");
    caption(right + 6, 17, "TRUE PEAK");
    value(right + 72, 17, figureText(f.truePeakDbtp, 1) + " DBTP");
    caption(right + 138, 4, exported ? "OUTPUT" : "SINCE START");
    caption(right + 138, 17, "CLICK: RESET");
}

}  // namespace loudara

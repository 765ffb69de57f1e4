#include "ui/splash.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "app/export_commands.h"
#include "ui/dialog_units.h"

namespace loudara {

QPixmap DrawTitlePicture(QSize size) {
    QPixmap picture(size);
    const double w = size.width(), h = size.height();
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0.0, QColor(12, 22, 48));
    sky.setColorAt(1.0, QColor(4, 8, 20));
    painter.fillRect(picture.rect(), sky);

    // A meter bridge: twenty-four bars, green up to -6 dB, amber, then red at the top.
    const int bars = 24;
    const double barWidth = w * 0.8 / bars;
    const double floorY = h * 0.62, ceilingY = h * 0.12;
    for (int i = 0; i < bars; ++i) {
        const double level = 0.55 + 0.4 * std::sin(i * 0.55) * std::cos(i * 0.17);
        const int segments = 14;
        const int lit = static_cast<int>(level * segments);
        for (int s = 0; s < segments; ++s) {
            const double y = floorY - (s + 1) * (floorY - ceilingY) / segments;
            QColor colour = s < 9 ? QColor(40, 200, 90) : (s < 12 ? QColor(240, 180, 40) : QColor(230, 60, 50));
            if (s >= lit) colour = colour.darker(400);
            painter.fillRect(QRectF(w * 0.1 + i * barWidth + 1, y + 1, barWidth - 2, (floorY - ceilingY) / segments - 2),
                             colour);
        }
    }

    // A waveform whose peaks are held under a ceiling line: what the program does to a song.
    const double midY = h * 0.76, ceiling = h * 0.08;
    painter.setPen(QPen(QColor(90, 160, 255, 120), 1.0, Qt::DashLine));
    painter.drawLine(QPointF(w * 0.05, midY - ceiling), QPointF(w * 0.95, midY - ceiling));
    painter.drawLine(QPointF(w * 0.05, midY + ceiling), QPointF(w * 0.95, midY + ceiling));
    QPainterPath wave;
    for (int x = 0; x <= 200; ++x) {
        const double t = x / 200.0;
        const double raw = std::sin(t * 60.0) * (0.6 + 0.9 * std::sin(t * 7.0)) * ceiling * 1.6;
        const double held = ceiling * std::tanh(raw / ceiling);
        const QPointF point(w * (0.05 + 0.9 * t), midY - held);
        if (x == 0) {
            wave.moveTo(point);
        } else {
            wave.lineTo(point);
        }
    }
    painter.setPen(QPen(QColor(120, 200, 255), 1.5));
    painter.drawPath(wave);

    QFont title = painter.font();
    title.setBold(true);
    title.setPixelSize(static_cast<int>(h * 0.2));
    painter.setFont(title);
    painter.setPen(QColor(255, 255, 255));
    painter.drawText(QRectF(0, h * 0.2, w, h * 0.3), Qt::AlignCenter, "Loudara");
    QFont subtitle = painter.font();
    subtitle.setBold(false);
    subtitle.setPixelSize(std::max(9, static_cast<int>(h * 0.07)));
    painter.setFont(subtitle);
    painter.setPen(QColor(200, 215, 240));
    painter.drawText(QRectF(0, h * 0.86, w, h * 0.12), Qt::AlignCenter, "Broadcast Sound Processor");
    return picture;
}

SplashDialog::SplashDialog(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setModal(true);
    const DialogUnits du(*this);
    setFixedSize(du.size(274, 221));
    pictureLabel = du.place(new QLabel(this), 0, 0, 274, 185);
    pictureLabel->setPixmap(DrawTitlePicture(du.size(274, 185)));
    QString version = "Version: ";
    version += kVersionText;
    versionLabel = du.place(new QLabel(version, this), 0, 195, 274, 10);
    versionLabel->setAlignment(Qt::AlignCenter);
    timer_.setSingleShot(true);
    timer_.setInterval(kSplashTimerMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
        timer_.stop();
        accept();
    });
}

void SplashDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    timer_.start();
}

void SplashDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace loudara

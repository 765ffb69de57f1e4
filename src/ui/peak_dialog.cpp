#include "ui/peak_dialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "files/peak_level.h"
#include "ui/dialog_units.h"

namespace loudara {

PeakDialog::PeakDialog(QWidget* parent, Playlist& list) : QDialog(parent), list_(list), host_(this) {
    setModal(true);
    setWindowTitle("Detecting Peak Level...");
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    const DialogUnits du(*this);
    setFixedSize(du.size(187, 57));
    statusLabel = du.place(new QLabel(this), 7, 7, 173, 8);
    progressBar = du.place(new QProgressBar(this), 7, 18, 173, 14);
    progressBar->setTextVisible(false);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    cancelButton = du.place(new QPushButton("Cancel", this), 65, 36, 50, 14);
    cancelButton->setDefault(true);
    connect(cancelButton, &QPushButton::clicked, this, &PeakDialog::reject);

    host_.onStatus = [this](const std::string& text) { statusLabel->setText(QString::fromStdString(text)); };
    host_.onProgressRange = [this](int maximum) {
        progressBar->setRange(0, maximum);
        progressBar->setValue(0);
    };
    host_.onProgressStep = [this] { progressBar->setValue(std::min(progressBar->value() + 1, progressBar->maximum())); };
    host_.onEnd = [this] { scanEnded(); };
}

PeakDialog::~PeakDialog() {
    if (worker_.joinable()) {
        host_.cancelRequested = true;
        worker_.join();
    }
}

void PeakDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (started_) return;
    started_ = true;
    host_.cancelRequested = false;
    worker_ = std::thread([this] { ScanPeakLevels(list_.songs, list_.songCount, host_); });
}

void PeakDialog::reject() {
    if (!ended_) host_.cancelRequested = true;
}

void PeakDialog::closeEvent(QCloseEvent* event) {
    reject();
    event->ignore();
}

void PeakDialog::scanEnded() {
    if (worker_.joinable()) worker_.join();
    ended_ = true;
    done(host_.cancelRequested.load() ? 0 : 1);
}

}  // namespace loudara

#include "ui/export_progress_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QThread>
#include <algorithm>

#include "app/export_commands.h"
#include "ui/dialog_units.h"
#include "ui/main_window.h"

namespace loudara {

void DialogJobHost::post(std::function<void()> call) {
    QMetaObject::invokeMethod(receiver_, std::move(call), Qt::QueuedConnection);
}

void DialogJobHost::setStatusText(const std::string& text) {
    post([this, text] { if (onStatus) onStatus(text); });
}
void DialogJobHost::setFromText(const std::string& text) {
    post([this, text] { if (onFrom) onFrom(text); });
}
void DialogJobHost::setToText(const std::string& text) {
    post([this, text] { if (onTo) onTo(text); });
}
void DialogJobHost::setProgressRange(int maximum) {
    post([this, maximum] { if (onProgressRange) onProgressRange(maximum); });
}
void DialogJobHost::stepProgress() {
    post([this] { if (onProgressStep) onProgressStep(); });
}
void DialogJobHost::setProcessedTimeText(const std::string& text) {
    post([this, text] { if (onProcessedTime) onProcessedTime(text); });
}
void DialogJobHost::refreshPanel() {
    post([this] { if (onPanel) onPanel(); });
}
void DialogJobHost::endNotice() {
    post([this] { if (onEnd) onEnd(); });
}

void DialogJobHost::showMessage(const std::string& text, const std::string& caption) {
    QWidget* parent = receiver_;
    auto show = [parent, text, caption] { ShowMessageBox(parent, text, caption, MessageIcon::Exclamation); };
    if (QThread::currentThread() == receiver_->thread()) {
        show();
    } else {
        QMetaObject::invokeMethod(receiver_, show, Qt::BlockingQueuedConnection);
    }
}

ExportProgressDialog::ExportProgressDialog(QWidget* parent, Processor& p, const ExportRequest& request,
                                           std::function<void()> refreshPanel)
    : QDialog(parent), p_(p), request_(request), host_(this) {
    setModal(true);
    setWindowTitle("Loudara : Exporting WAV/MP3 File...");
    setWindowFlag(Qt::WindowCloseButtonHint, false);
    const DialogUnits du(*this);
    setFixedSize(du.size(407, 61));
    du.place(new QLabel("From :", this), 7, 4, 29, 8);
    fromField = du.place(new QLineEdit(this), 39, 2, 362, 13);
    du.place(new QLabel("To :", this), 7, 18, 29, 8);
    toField = du.place(new QLineEdit(this), 39, 16, 362, 13);
    processedTimeLabel = du.place(new QLabel("Processed WAV Time :", this), 7, 32, 79, 8);
    processedTimeField = du.place(new QLineEdit(this), 87, 30, 39, 13);
    progressBar = du.place(new QProgressBar(this), 130, 30, 88, 13);
    progressBar->setTextVisible(false);
    statusField = du.place(new QLineEdit(this), 222, 30, 179, 13);
    for (QLineEdit* field : {fromField, toField, processedTimeField, statusField}) field->setReadOnly(true);
    du.place(new QGroupBox(this), 7, 41, 259, 18);
    throttleBox = du.place(new QCheckBox("Don't use 100% CPU Power: ", this), 13, 47, 110, 10);
    du.place(new QLabel("MORE", this), 124, 48, 25, 8);
    throttleSlider = du.place(new QSlider(Qt::Horizontal, this), 149, 46, 71, 13);
    du.place(new QLabel("LESS", this), 225, 48, 36, 8);
    cancelButton = du.place(new QPushButton("Cancel", this), 342, 45, 58, 14);
    cancelButton->setDefault(true);
    connect(cancelButton, &QPushButton::clicked, this, &ExportProgressDialog::reject);

    // The job reads the throttle through its host once per block; the options keep it for the
    // next export.
    ExportOptions& options = *request_.options;
    host_.cancelRequested = false;
    throttleBox->setChecked(options.throttleOn != 0);
    host_.throttleOn = options.throttleOn != 0 ? 1 : 0;
    options.throttleLevel = std::clamp(options.throttleLevel, 0, 40);
    throttleSlider->setRange(1, 40);
    throttleSlider->setPageStep(1);
    throttleSlider->setValue(options.throttleLevel);
    host_.throttleLevel = options.throttleLevel;
    connect(throttleSlider, &QSlider::valueChanged, this, [this](int level) {
        request_.options->throttleLevel = level;
        host_.throttleLevel = level;
    });
    connect(throttleBox, &QCheckBox::toggled, this, [this](bool on) {
        request_.options->throttleOn = on ? 1 : 0;
        host_.throttleOn = on ? 1 : 0;
    });

    host_.onStatus = [this](const std::string& text) { statusField->setText(QString::fromStdString(text)); };
    host_.onFrom = [this](const std::string& text) { fromField->setText(QString::fromStdString(text)); };
    host_.onTo = [this](const std::string& text) { toField->setText(QString::fromStdString(text)); };
    host_.onProcessedTime = [this](const std::string& text) {
        processedTimeField->setText(QString::fromStdString(text));
    };
    host_.onProgressRange = [this](int maximum) {
        progressBar->setRange(0, maximum);
        progressBar->setValue(0);
    };
    host_.onProgressStep = [this] { progressBar->setValue(std::min(progressBar->value() + 1, progressBar->maximum())); };
    host_.onPanel = std::move(refreshPanel);
    host_.onEnd = [this] { jobEnded(); };
}

ExportProgressDialog::~ExportProgressDialog() {
    // Only when the dialog goes away without its end notice (the program is being torn down).
    if (worker_.joinable()) {
        host_.cancelRequested = true;
        worker_.join();
    }
}

void ExportProgressDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (started_) return;
    started_ = true;
    worker_ = std::thread([this] { outcome_ = RunSongExport(p_, request_, host_); });
}

void ExportProgressDialog::reject() {
    if (!ended_) host_.cancelRequested = true;
}

void ExportProgressDialog::closeEvent(QCloseEvent* event) {
    reject();
    event->ignore();
}

void ExportProgressDialog::jobEnded() {
    // The end notice is the job's last act: the thread is returning.
    if (worker_.joinable()) worker_.join();
    ended_ = true;
    clearProcessorState(p_);
    done(host_.cancelRequested.load() ? 0 : 1);
}

}  // namespace loudara

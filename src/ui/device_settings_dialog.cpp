#include "ui/device_settings_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include "ui/dialog_units.h"

namespace loudara {

DeviceSettingsDialog::DeviceSettingsDialog(QWidget* parent, StoredSettings& stored,
                                           const std::vector<std::string>& outputLines,
                                           const std::vector<std::string>& inputLines)
    : QDialog(parent), stored_(stored) {
    setModal(true);
    setWindowTitle("Settings of Sound Devices");
    const DialogUnits du(*this);
    setFixedSize(du.size(255, 185));
    du.place(new QLabel("Choose the sound input/output devices", this), 7, 7, 241, 8);
    du.place(new QLabel("Input:", this), 12, 22, 30, 8);
    inputList = du.place(new QComboBox(this), 45, 20, 203, 13);
    du.place(new QLabel("Output:", this), 12, 39, 30, 8);
    outputList = du.place(new QComboBox(this), 45, 37, 203, 13);
    du.place(new QLabel("Sampling Frequency:", this), 12, 57, 76, 8);
    const char* rates[3] = {"32kHz", "44.1kHz", "48kHz"};
    auto* rateGroup = new QButtonGroup(this);
    for (int i = 0; i < 3; ++i) {
        rateButtons[i] = du.place(new QRadioButton(rates[i], this), 92 + 52 * i, 56, 48, 10);
        rateGroup->addButton(rateButtons[i], i);
    }
    auto* advice = du.place(
        new QLabel("( The lower sample rate is recommended for smooth and stable playback. )", this), 12, 69, 236, 16);
    advice->setWordWrap(true);
    bootBox = du.place(new QCheckBox("Start ON-AIR MODE when booting up", this), 12, 89, 200, 10);
    du.place(new QLabel("Number of sound buffer blocks( 2-8 ) :", this), 12, 106, 140, 8);
    blockCountField = du.place(new QLineEdit(this), 155, 104, 30, 13);
    blockCountField->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,9}"), blockCountField));
    auto* note = du.place(new QLabel("NOTE: If you made any change of soundcard or cable connection, it is required "
                                     "to reboot this program.",
                                     this),
                          12, 124, 236, 24);
    note->setWordWrap(true);
    okButton = du.place(new QPushButton("OK", this), 60, 162, 50, 14);
    cancelButton = du.place(new QPushButton("Cancel", this), 145, 162, 50, 14);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    for (const std::string& line : inputLines) inputList->addItem(QString::fromStdString(line));
    for (const std::string& line : outputLines) outputList->addItem(QString::fromStdString(line));
    // An index beyond the list selects nothing, and then the stored index is kept on OK.
    inputList->setCurrentIndex(stored.selectedInputDevice < inputLines.size() ? stored.selectedInputDevice : -1);
    outputList->setCurrentIndex(stored.selectedOutputDevice < outputLines.size() ? stored.selectedOutputDevice : -1);
    const DeviceSettingsForm form = DeviceSettingsFormFor(stored, outputLines, inputLines);
    rateButtons[form.rateChoice]->setChecked(true);
    bootBox->setChecked(form.startAtBootChecked);
    blockCountField->setText(QString::fromStdString(form.blockCountText));
}

DeviceSettingsForm DeviceSettingsDialog::form() const {
    DeviceSettingsForm form;
    form.outputCount = outputList->count();
    form.outputText = outputList->currentText().toStdString();
    form.inputCount = inputList->count();
    form.inputText = inputList->currentText().toStdString();
    form.rateChoice = rateButtons[0]->isChecked() ? 0 : (rateButtons[1]->isChecked() ? 1 : 2);
    form.startAtBootChecked = bootBox->isChecked();
    form.blockCountText = blockCountField->text().toStdString();
    return form;
}

void DeviceSettingsDialog::accept() {
    StoreDeviceSettings(stored_, form());
    QDialog::accept();
}

}  // namespace loudara

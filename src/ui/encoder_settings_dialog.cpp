#include "ui/encoder_settings_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "persistence/settings_file.h"
#include "ui/dialog_units.h"

namespace loudara {

EncoderSettingsDialog::EncoderSettingsDialog(QWidget* parent, StoredSettings& stored, const PlayState& playState,
                                             std::string settingsFile, ChooseFiles chooseFiles)
    : QDialog(parent),
      stored_(stored),
      playState_(playState),
      settingsFile_(std::move(settingsFile)),
      chooseFiles_(std::move(chooseFiles)) {
    setModal(true);
    setWindowTitle("Settings for external encoding program");
    const DialogUnits du(*this);
    setFixedSize(du.size(438, 133));
    useBox = du.place(new QCheckBox("Use an external MP3 encoding program", this), 7, 7, 200, 10);
    du.place(new QLabel("Ext encoder(exe) path:", this), 7, 24, 90, 8);
    pathField = du.place(new QLineEdit(this), 100, 22, 290, 13);
    refButton = du.place(new QPushButton("Ref.", this), 395, 22, 36, 13);
    du.place(new QLabel("Parameters for ext encoder:", this), 7, 41, 90, 8);
    parametersField = du.place(new QLineEdit(this), 100, 39, 331, 13);
    du.place(new QLabel("Usage for embedding the file path to the parameters:", this), 7, 57, 300, 8);
    du.place(new QLabel("  %1 - Input WAV file path\n  %2 - Output MP3 file path\n (ex.) In case of using LAME.EXE "
                        "and specifying maximum variable bitrate to 256kbps: \n    -v -B 256 %1 %2",
                        this),
             7, 67, 424, 40);
    okButton = du.place(new QPushButton("OK", this), 150, 112, 50, 14);
    cancelButton = du.place(new QPushButton("Cancel", this), 238, 112, 50, 14);
    okButton->setDefault(true);
    pathField->setMaxLength(kEncoderTextChars);
    parametersField->setMaxLength(kEncoderTextChars);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(refButton, &QPushButton::clicked, this, &EncoderSettingsDialog::browse);

    const EncoderSettingsForm form = EncoderSettingsFormFor(stored);
    useBox->setChecked(form.useChecked);
    pathField->setText(QString::fromStdString(form.programPath));
    parametersField->setText(QString::fromStdString(form.parameters));
}

EncoderSettingsForm EncoderSettingsDialog::form() const {
    EncoderSettingsForm form;
    form.useChecked = useBox->isChecked();
    form.programPath = pathField->text().toStdString();
    form.parameters = parametersField->text().toStdString();
    return form;
}

void EncoderSettingsDialog::accept() {
    StoreEncoderSettings(stored_, form());
    QDialog::accept();
}

void EncoderSettingsDialog::browse() {
    if (playState_ != PlayState::Stopped || !chooseFiles_) return;
    FileDialogRequest request;
    request.initialName = "*.exe";
    request.filters = {{"Open External MP3 Encoder {*.exe}", "*.exe"}, {"All files {*.*}", "*.*"}};
    request.defaultExtension = "exe";
    request.folder = DialogFolderFor(ReadSetting(kEncToolDirKey, settingsFile_));
    const std::vector<std::string> chosen = chooseFiles_(request);
    if (chosen.empty()) return;
    WriteSetting(kEncToolDirKey, chosen.front(), settingsFile_);
    pathField->setText(QString::fromStdString(chosen.front()));
}

}  // namespace loudara

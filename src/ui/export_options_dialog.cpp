#include "ui/export_options_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ui/dialog_units.h"

namespace loudara {

ExportOptionsDialog::ExportOptionsDialog(QWidget* parent, ExportOptions& options, bool batch, bool externalEncoderInUse)
    : QDialog(parent), options_(options), batch_(batch) {
    setModal(true);
    setWindowTitle(batch ? "Export All Songs" : "Export a song");
    if (batch) {
        buildBatch();
    } else {
        buildSingle();
    }
    auto* formatGroup = new QButtonGroup(this);
    formatGroup->addButton(wavButton);
    formatGroup->addButton(mp3Button);
    bitrateField->setValidator(new QIntValidator(-99999, 99999, bitrateField));
    albumField->setMaxLength(kExportTextChars);
    titleField->setMaxLength(kExportTextChars);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    const ExportOptionsForm form = ExportOptionsFormFor(options);
    wavButton->setChecked(form.wavChecked);
    mp3Button->setChecked(!form.wavChecked);
    bitrateField->setText(QString::fromStdString(form.bitrateText));
    normalizeBox->setChecked(form.normalizeChecked);
    albumField->setText(QString::fromStdString(form.albumPrefix));
    titleField->setText(QString::fromStdString(form.titlePrefix));
    if (batch) {
        nameStringField->setText(QString::fromStdString(form.fileNameString));
        prefixButton->setChecked(form.prefixChecked);
        postfixButton->setChecked(!form.prefixChecked);
        originalFolderBox->setChecked(form.originalFolderChecked);
    }
    noteLine->setText(QString::fromStdString(ExportNoteLine(externalEncoderInUse)));
    bitrateField->setEnabled(!externalEncoderInUse);
}

void ExportOptionsDialog::buildSingle() {
    const DialogUnits du(*this);
    setFixedSize(du.size(249, 133));
    du.place(new QGroupBox("Choose WAV/MP3 output file format.", this), 7, 8, 235, 28);
    du.place(new QGroupBox("Normalize level", this), 7, 38, 235, 25);
    du.place(new QGroupBox("Add prefix to MP3 TAG(IDv1)", this), 7, 67, 235, 30);
    wavButton = du.place(new QRadioButton("WAV", this), 16, 21, 31, 10);
    mp3Button = du.place(new QRadioButton("MP3,  Bit rate (up to 320 bps)", this), 79, 21, 111, 10);
    bitrateField = du.place(new QLineEdit(this), 194, 19, 40, 14);
    normalizeBox = du.place(new QCheckBox("Normalize level of input file (Keep max level )", this), 16, 48, 192, 10);
    du.place(new QLabel("Album:", this), 15, 82, 23, 8);
    albumField = du.place(new QLineEdit(this), 45, 79, 53, 14);
    du.place(new QLabel("Title:", this), 124, 82, 17, 8);
    titleField = du.place(new QLineEdit(this), 145, 79, 54, 14);
    noteLine = du.place(new QLabel("NOTE:", this), 14, 100, 222, 8);
    okButton = du.place(new QPushButton("OK", this), 53, 112, 50, 14);
    cancelButton = du.place(new QPushButton("Cancel", this), 143, 112, 50, 14);
}

void ExportOptionsDialog::buildBatch() {
    const DialogUnits du(*this);
    setFixedSize(du.size(250, 196));
    du.place(new QGroupBox("Add string to output file name.", this), 7, 7, 236, 28);
    du.place(new QGroupBox("Choose WAV/MP3 output file format.", this), 7, 37, 235, 28);
    du.place(new QGroupBox("Normalize level", this), 7, 67, 235, 25);
    du.place(new QGroupBox("Add prefix to MP3 TAG(IDv1)", this), 7, 94, 235, 30);
    du.place(new QGroupBox("Specify the save folder", this), 7, 128, 235, 27);
    nameStringField = du.place(new QLineEdit(this), 14, 17, 132, 14);
    nameStringField->setMaxLength(kExportTextChars);
    prefixButton = du.place(new QRadioButton("Prefix", this), 155, 20, 36, 10);
    postfixButton = du.place(new QRadioButton("Postfix", this), 195, 20, 37, 10);
    auto* placeGroup = new QButtonGroup(this);
    placeGroup->addButton(prefixButton);
    placeGroup->addButton(postfixButton);
    wavButton = du.place(new QRadioButton("WAV", this), 16, 50, 31, 10);
    mp3Button = du.place(new QRadioButton("MP3,  Bit rate (up to 320 bps)", this), 79, 50, 111, 10);
    bitrateField = du.place(new QLineEdit(this), 194, 48, 40, 14);
    normalizeBox = du.place(new QCheckBox("Normalize level of input file (Keep max level )", this), 16, 77, 192, 10);
    du.place(new QLabel("Album:", this), 15, 109, 23, 8);
    albumField = du.place(new QLineEdit(this), 45, 106, 53, 14);
    du.place(new QLabel("Title:", this), 124, 109, 17, 8);
    titleField = du.place(new QLineEdit(this), 145, 106, 54, 14);
    originalFolderBox = du.place(new QCheckBox("Save to the original folder", this), 16, 140, 212, 10);
    noteLine = du.place(new QLabel("NOTE:", this), 13, 162, 222, 8);
    okButton = du.place(new QPushButton("OK", this), 57, 175, 50, 14);
    cancelButton = du.place(new QPushButton("Cancel", this), 141, 175, 50, 14);
}

ExportOptionsForm ExportOptionsDialog::form() const {
    ExportOptionsForm form;
    form.wavChecked = wavButton->isChecked();
    form.bitrateText = bitrateField->text().toStdString();
    form.normalizeChecked = normalizeBox->isChecked();
    form.albumPrefix = albumField->text().toStdString();
    form.titlePrefix = titleField->text().toStdString();
    if (batch_) {
        form.fileNameString = nameStringField->text().toStdString();
        form.prefixChecked = prefixButton->isChecked();
        form.originalFolderChecked = originalFolderBox->isChecked();
    }
    return form;
}

void ExportOptionsDialog::accept() {
    StoreExportOptions(options_, form(), batch_);
    QDialog::accept();
}

}  // namespace loudara

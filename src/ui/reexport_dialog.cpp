#include "ui/reexport_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/export_commands.h"
#include "ui/dialog_units.h"

namespace loudara {

ReexportDialog::ReexportDialog(QWidget* parent, const std::string& folderText) : QDialog(parent) {
    setModal(true);
    setWindowTitle("Export MP3/WAV files");
    const DialogUnits du(*this);
    setFixedSize(du.size(295, 78));
    du.place(new QLabel("Export MP3/WAV files to the following folder.", this), 7, 6, 281, 8);
    folderField = du.place(new QLineEdit(QString::fromStdString(folderText), this), 7, 16, 281, 13);
    folderField->setReadOnly(true);
    auto* question = du.place(
        new QLabel("There are some files already exported. Do you wish to export all files again?", this), 7, 34, 281, 18);
    question->setWordWrap(true);
    exportAllButton = du.place(new QPushButton("Export all", this), 22, 57, 70, 14);
    exceptExportedButton = du.place(new QPushButton("Except exported files", this), 100, 57, 94, 14);
    cancelButton = du.place(new QPushButton("Cancel", this), 202, 57, 70, 14);
    exportAllButton->setDefault(true);
    connect(exportAllButton, &QPushButton::clicked, this,
            [this] { done(static_cast<int>(ReexportChoice::ExportAll)); });
    connect(exceptExportedButton, &QPushButton::clicked, this,
            [this] { done(static_cast<int>(ReexportChoice::ExceptExported)); });
    connect(cancelButton, &QPushButton::clicked, this, [this] { done(static_cast<int>(ReexportChoice::Cancel)); });
}

}  // namespace loudara

#pragma once
// "Export a song" and "Export All Songs": the export options before a single or a batch export.
// OK stores what the controls hold into the options (StoreExportOptions); Cancel leaves them.

#include <QDialog>

#include "app/export_commands.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace loudara {

class ExportOptionsDialog : public QDialog {
public:
    ExportOptionsDialog(QWidget* parent, ExportOptions& options, bool batch, bool externalEncoderInUse);

    ExportOptionsForm form() const;
    void accept() override;

    // The controls (the batch-only ones are null in the single-song dialog).
    QRadioButton* wavButton = nullptr;
    QRadioButton* mp3Button = nullptr;
    QLineEdit* bitrateField = nullptr;
    QCheckBox* normalizeBox = nullptr;
    QLineEdit* albumField = nullptr;
    QLineEdit* titleField = nullptr;
    QLabel* noteLine = nullptr;
    QLineEdit* nameStringField = nullptr;
    QRadioButton* prefixButton = nullptr;
    QRadioButton* postfixButton = nullptr;
    QCheckBox* originalFolderBox = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    void buildSingle();
    void buildBatch();

    ExportOptions& options_;
    bool batch_;
};

}  // namespace loudara

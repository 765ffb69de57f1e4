#pragma once
// "Export MP3/WAV files": asked by the batch export when some songs are already exported. The
// result is a ReexportChoice: 1 "Export all", 2 "Except exported files", 0 "Cancel".

#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

namespace loudara {

class ReexportDialog : public QDialog {
public:
    // `folderText`: the output folder, or "( Original Folder )".
    ReexportDialog(QWidget* parent, const std::string& folderText);

    QLineEdit* folderField = nullptr;
    QPushButton* exportAllButton = nullptr;
    QPushButton* exceptExportedButton = nullptr;
    QPushButton* cancelButton = nullptr;
};

}  // namespace loudara

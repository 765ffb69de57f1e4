#pragma once
// "Settings for external encoding program": whether an external MP3 encoder is used, its program
// and its parameter text. "Ref." browses for the program, only while nothing plays, in the folder
// remembered under "EncToolDir". OK stores the three values; Cancel changes nothing.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/export_commands.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace loudara {

class EncoderSettingsDialog : public QDialog {
public:
    using ChooseFiles = std::function<std::vector<std::string>(const FileDialogRequest&)>;

    // `chooseFiles` is the window's open dialog; `playState` is read when "Ref." is pressed.
    EncoderSettingsDialog(QWidget* parent, StoredSettings& stored, const PlayState& playState,
                          std::string settingsFile, ChooseFiles chooseFiles);

    EncoderSettingsForm form() const;
    void accept() override;
    // "Ref.": the open dialog for the program, while Stopped only.
    void browse();

    QCheckBox* useBox = nullptr;
    QLineEdit* pathField = nullptr;
    QPushButton* refButton = nullptr;
    QLineEdit* parametersField = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    StoredSettings& stored_;
    const PlayState& playState_;
    std::string settingsFile_;
    ChooseFiles chooseFiles_;
};

}  // namespace loudara

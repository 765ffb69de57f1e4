#pragma once
// "Settings of Sound Devices": the output and input device, the ON-AIR sample rate, ON-AIR mode
// at start-up and the number of sound blocks. OK stores them (StoreDeviceSettings); the devices
// open with them the next time playback or ON-AIR mode starts. Cancel changes nothing.

#include <QDialog>
#include <string>
#include <vector>

#include "app/export_commands.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace loudara {

class DeviceSettingsDialog : public QDialog {
public:
    // The lists hold one "%d: %s" line per listed device (DeviceListText).
    DeviceSettingsDialog(QWidget* parent, StoredSettings& stored, const std::vector<std::string>& outputLines,
                         const std::vector<std::string>& inputLines);

    DeviceSettingsForm form() const;
    void accept() override;

    QComboBox* inputList = nullptr;
    QComboBox* outputList = nullptr;
    QRadioButton* rateButtons[3] = {};  // "32kHz", "44.1kHz", "48kHz"
    QCheckBox* bootBox = nullptr;
    QLineEdit* blockCountField = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    StoredSettings& stored_;
};

}  // namespace loudara

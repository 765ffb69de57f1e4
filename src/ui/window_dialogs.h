#pragma once
// The main window's dialogs for the dispatcher: export options and progress, the peak scan, the
// re-export question, the folder browser, the device and encoder settings and the splash, each
// modal on the window.

#include <string>

#include "app/export_commands.h"
#include "audio/device_engine.h"

namespace loudara {

class MainWindow;

class WindowDialogs : public DialogHost {
public:
    explicit WindowDialogs(MainWindow& window) : window_(window) {}

    // The listed sound devices the device settings offer; none: empty lists.
    void setDeviceEngine(const DeviceEngine* engine) { engine_ = engine; }

    bool editExportOptions(ExportOptions& options, bool batch, bool externalEncoderInUse) override;
    int runExport(Processor& p, const ExportRequest& request) override;
    int runPeakScan(Playlist& list) override;
    ReexportChoice askReexport(const std::string& folderText) override;
    std::string chooseFolder(const std::string& title, const std::string& startFolder) override;
    bool editDeviceSettings(StoredSettings& stored) override;
    bool editEncoderSettings(StoredSettings& stored, const PlayState& playState,
                             const std::string& settingsFile) override;
    void showSplash() override;
    void scrollSongIntoView(int row, bool keepBelow) override;
    void invalidateWindow() override;

private:
    MainWindow& window_;
    const DeviceEngine* engine_ = nullptr;
};

}  // namespace loudara

#include "ui/window_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>

#include "ui/device_settings_dialog.h"
#include "ui/encoder_settings_dialog.h"
#include "ui/export_options_dialog.h"
#include "ui/export_progress_dialog.h"
#include "ui/loudness_strip.h"
#include "ui/main_window.h"
#include "ui/peak_dialog.h"
#include "ui/reexport_dialog.h"
#include "ui/song_list.h"
#include "ui/splash.h"

namespace loudara {

bool WindowDialogs::editExportOptions(ExportOptions& options, bool batch, bool externalEncoderInUse) {
    ExportOptionsDialog dialog(&window_, options, batch, externalEncoderInUse);
    return dialog.exec() == QDialog::Accepted;
}

int WindowDialogs::runExport(Processor& p, const ExportRequest& request) {
    ExportProgressDialog dialog(&window_, p, request, [this] { window_.repaintPanel(); });
    const int result = dialog.exec();
    window_.loudnessStrip()->showExport(dialog.outcome().loudness);
    return result;
}

int WindowDialogs::runPeakScan(Playlist& list) {
    PeakDialog dialog(&window_, list);
    return dialog.exec();
}

ReexportChoice WindowDialogs::askReexport(const std::string& folderText) {
    ReexportDialog dialog(&window_, folderText);
    const int result = dialog.exec();
    return result == 1 ? ReexportChoice::ExportAll
                       : (result == 2 ? ReexportChoice::ExceptExported : ReexportChoice::Cancel);
}

std::string WindowDialogs::chooseFolder(const std::string& title, const std::string& startFolder) {
    const QString folder = QFileDialog::getExistingDirectory(&window_, QString::fromStdString(title),
                                                             QString::fromStdString(startFolder),
                                                             QFileDialog::ShowDirsOnly);
    return folder.toStdString();
}

bool WindowDialogs::editDeviceSettings(StoredSettings& stored) {
    std::vector<std::string> outputs, inputs;
    if (engine_ != nullptr) {
        for (int i = 0; i < engine_->outputCount; ++i) outputs.push_back(DeviceListText(i, engine_->outputDevices[i].name));
        for (int i = 0; i < engine_->inputCount; ++i) inputs.push_back(DeviceListText(i, engine_->inputDevices[i].name));
    }
    DeviceSettingsDialog dialog(&window_, stored, outputs, inputs);
    return dialog.exec() == QDialog::Accepted;
}

bool WindowDialogs::editEncoderSettings(StoredSettings& stored, const PlayState& playState,
                                        const std::string& settingsFile) {
    EncoderSettingsDialog dialog(&window_, stored, playState, settingsFile,
                                 [this](const FileDialogRequest& request) { return window_.chooseFiles(request); });
    return dialog.exec() == QDialog::Accepted;
}

void WindowDialogs::showSplash() {
    SplashDialog splash(&window_);
    splash.exec();
}

void WindowDialogs::scrollSongIntoView(int row, bool keepBelow) {
    SongListView* view = window_.songList();
    const int rowHeight = std::max(1, view->verticalHeader()->defaultSectionSize());
    const int rowsPerPage = std::max(1, view->viewport()->height() / rowHeight);
    const int top = ScrollTopRowFor(row, keepBelow, rowsPerPage);
    if (top < view->model()->rowCount()) {
        view->scrollTo(view->model()->index(top, 0), QAbstractItemView::PositionAtTop);
    }
}

void WindowDialogs::invalidateWindow() {
    window_.update();
    window_.repaintPanel();
}

}  // namespace loudara

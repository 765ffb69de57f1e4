#pragma once
// "Detecting Peak Level...": scans the peak of every WAV song of the playlist on a worker thread
// (ScanPeakLevels) with a status line, a progress bar and Cancel. Like the export dialog it
// closes only on the scan's end notice: result 1 when the scan ran to its end, 0 after Cancel.

#include <QDialog>
#include <thread>

#include "persistence/playlist.h"
#include "ui/export_progress_dialog.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace loudara {

class PeakDialog : public QDialog {
public:
    PeakDialog(QWidget* parent, Playlist& list);
    ~PeakDialog() override;

    DialogJobHost& jobHost() { return host_; }
    void reject() override;
    void accept() override { reject(); }

    QLabel* statusLabel = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void scanEnded();

    Playlist& list_;
    DialogJobHost host_;
    std::thread worker_;
    bool started_ = false;
    bool ended_ = false;
};

}  // namespace loudara

#pragma once
// "Loudara : Exporting WAV/MP3 File...": runs the export job on a worker thread and shows what
// it reports. The job never touches a widget: its DialogJobHost posts each notice to the UI
// thread, where the dialog shows it. Cancel only asks the job to stop; the dialog closes on the
// job's end notice, with the result 1 (completed) or 0 (cancelled).

#include <QDialog>
#include <functional>
#include <string>
#include <thread>

#include "base/job_host.h"
#include "files/export_job.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;

namespace loudara {

// A JobHost whose notices run on the thread of `receiver` (the dialog), in the order the job
// sent them. Each notice calls the matching function when one is set; they are set before the
// job starts and read only on the UI thread. A message box holds the job until it is answered.
class DialogJobHost : public JobHost {
public:
    explicit DialogJobHost(QWidget* receiver) : receiver_(receiver) {}

    std::function<void(const std::string&)> onStatus, onFrom, onTo, onProcessedTime;
    std::function<void(int)> onProgressRange;
    std::function<void()> onProgressStep, onPanel, onEnd;

    void setStatusText(const std::string& text) override;
    void setFromText(const std::string& text) override;
    void setToText(const std::string& text) override;
    void setProgressRange(int maximum) override;
    void stepProgress() override;
    void setProcessedTimeText(const std::string& text) override;
    void refreshPanel() override;
    void showMessage(const std::string& text, const std::string& caption) override;
    void endNotice() override;

private:
    void post(std::function<void()> call);

    QWidget* receiver_;
};

class ExportProgressDialog : public QDialog {
public:
    // `refreshPanel` repaints the main window's panel so its meters follow the job.
    ExportProgressDialog(QWidget* parent, Processor& p, const ExportRequest& request,
                         std::function<void()> refreshPanel = {});
    ~ExportProgressDialog() override;

    DialogJobHost& jobHost() { return host_; }
    const ExportOutcome& outcome() const { return outcome_; }

    // Cancel, Enter and Escape only ask the job to stop.
    void reject() override;
    void accept() override { reject(); }

    QLineEdit* fromField = nullptr;
    QLineEdit* toField = nullptr;
    QLabel* processedTimeLabel = nullptr;
    QLineEdit* processedTimeField = nullptr;
    QProgressBar* progressBar = nullptr;
    QLineEdit* statusField = nullptr;
    QCheckBox* throttleBox = nullptr;
    QSlider* throttleSlider = nullptr;
    QPushButton* cancelButton = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void jobEnded();

    Processor& p_;
    ExportRequest request_;
    DialogJobHost host_;
    ExportOutcome outcome_;
    std::thread worker_;
    bool started_ = false;
    bool ended_ = false;
};

}  // namespace loudara

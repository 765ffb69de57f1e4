// The dialogs on the offscreen platform: what OK stores and Cancel leaves for the export
// options, sound device and external encoder dialogs, the re-export question's three answers,
// the splash closing itself, and the export progress and peak dialogs running their real jobs
// on worker threads.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "wav_writer.h"
#include "files/wav_file.h"
#include "persistence/settings_file.h"
#include "ui/device_settings_dialog.h"
#include "ui/encoder_settings_dialog.h"
#include "ui/export_options_dialog.h"
#include "ui/export_progress_dialog.h"
#include "ui/peak_dialog.h"
#include "ui/reexport_dialog.h"
#include "ui/splash.h"

namespace fs = std::filesystem;
using namespace loudara;

namespace {

void writeWav(const fs::path& path, const std::vector<int16_t>& samples, uint16_t channels, uint32_t rate) {
    test::writePcmWav(path, samples, channels, rate);
}

// A tone whose loudest sample is `peak`.
std::vector<int16_t> tone(std::size_t values, int16_t peak) {
    std::vector<int16_t> samples(values);
    for (std::size_t i = 0; i < values; ++i) {
        const int step = static_cast<int>(i % 32);
        const int sign = (i % 64) < 32 ? 1 : -1;
        samples[i] = static_cast<int16_t>(sign * peak * step / 31);
    }
    return samples;
}

bool sameBytes(const ExportOptions& a, const ExportOptions& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool sameStored(const StoredSettings& a, const StoredSettings& b) {
    return a.selectedOutputDevice == b.selectedOutputDevice && a.selectedInputDevice == b.selectedInputDevice &&
           a.onAirRateChoice == b.onAirRateChoice && a.startOnAirAtBoot == b.startOnAirAtBoot &&
           a.blockCount == b.blockCount && a.useExternalEncoder == b.useExternalEncoder &&
           std::strcmp(a.externalEncoderPath, b.externalEncoderPath) == 0 &&
           std::strcmp(a.externalEncoderParams, b.externalEncoderParams) == 0;
}

void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private:
    fs::path folder;

    // A playlist of one probed WAV song at `path`.
    static void addSong(Playlist& list, const fs::path& path) {
        SongRecord& song = list.songs[list.songCount];
        QCOMPARE(ProbeWavFile(path.string().c_str(), song), WavProbeResult::Ok);
        song.kind = SongKind::Wav;
        std::snprintf(song.path, sizeof song.path, "%s", path.string().c_str());
        ++list.songCount;
    }

private slots:
    void init() {
        folder = fs::temp_directory_path() / ("loudara_dialogs_" + std::to_string(std::random_device{}()));
        fs::create_directories(folder);
    }
    void cleanup() { fs::remove_all(folder); }

    void exportOptionsBitRatesInBothDialogs() {
        const struct {
            const char* entered;
            int single, batch;
        } cases[] = {{"31", 192, 128}, {"100", 112, 112}, {"321", 192, 128}};
        for (const auto& c : cases) {
            for (bool batch : {false, true}) {
                ExportOptions options;
                ExportOptionsDialog dialog(nullptr, options, batch, false);
                QCOMPARE(dialog.windowTitle(), QString(batch ? "Export All Songs" : "Export a song"));
                dialog.bitrateField->setText(c.entered);
                click(dialog.okButton);
                QCOMPARE(dialog.result(), int(QDialog::Accepted));
                QCOMPARE(options.mp3Bitrate, batch ? c.batch : c.single);
            }
        }
    }

    void exportOptionsShowStoreAndCancel() {
        ExportOptions options;
        options.exportFormat = 0;
        options.mp3Bitrate = 256;
        std::snprintf(options.albumPrefix, sizeof options.albumPrefix, "Alb");
        options.fileNameStringIsPostfix = 1;
        {
            ExportOptionsDialog dialog(nullptr, options, true, true);
            QVERIFY(dialog.wavButton->isChecked());
            QVERIFY(!dialog.mp3Button->isChecked());
            QCOMPARE(dialog.bitrateField->text(), QString("256"));
            QVERIFY(!dialog.bitrateField->isEnabled());
            QCOMPARE(dialog.noteLine->text(), QString("NOTE: An external MP3 encoding program is in use."));
            QCOMPARE(dialog.albumField->text(), QString("Alb"));
            QCOMPARE(dialog.nameStringField->text(), QString("qx_"));
            QVERIFY(dialog.postfixButton->isChecked());
            QVERIFY(!dialog.prefixButton->isChecked());
            QCOMPARE(dialog.originalFolderBox->text(), QString("Save to the original folder"));

            dialog.mp3Button->setChecked(true);
            QVERIFY(!dialog.wavButton->isChecked());
            QVERIFY(dialog.postfixButton->isChecked());  // the two pairs are separate groups
            dialog.prefixButton->setChecked(true);
            dialog.nameStringField->setText("_new");
            dialog.titleField->setText("Tit");
            dialog.normalizeBox->setChecked(false);
            dialog.originalFolderBox->setChecked(true);
            click(dialog.okButton);
        }
        QCOMPARE(options.exportFormat, 1);
        QCOMPARE(options.fileNameStringIsPostfix, 0);
        QCOMPARE(QString(options.fileNameString), QString("_new"));
        QCOMPARE(QString(options.titlePrefix), QString("Tit"));
        QCOMPARE(options.normalizeOnExport, 0);
        QCOMPARE(options.useOriginalFolder, 1);

        for (bool batch : {false, true}) {
            const ExportOptions before = options;
            ExportOptionsDialog dialog(nullptr, options, batch, false);
            QCOMPARE(dialog.noteLine->text(), QString());
            QVERIFY(dialog.bitrateField->isEnabled());
            QCOMPARE(dialog.nameStringField == nullptr, !batch);
            dialog.wavButton->setChecked(true);
            dialog.bitrateField->setText("32");
            dialog.albumField->setText("changed");
            click(dialog.cancelButton);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QVERIFY(sameBytes(options, before));
        }
    }

    void deviceSettingsStoreOnOkOnly() {
        StoredSettings stored;
        stored.selectedOutputDevice = 1;
        stored.selectedInputDevice = 0;
        stored.onAirRateChoice = 1;
        stored.blockCount = 4;
        const std::vector<std::string> outputs = {DeviceListText(0, "system"), DeviceListText(1, "pulse")};
        const std::vector<std::string> inputs = {DeviceListText(0, "system")};

        const struct {
            const char* entered;
            int stored;
        } blocks[] = {{"0", 2}, {"1", 2}, {"20", 8}, {"6", 6}};
        for (const auto& b : blocks) {
            DeviceSettingsDialog dialog(nullptr, stored, outputs, inputs);
            QCOMPARE(dialog.windowTitle(), QString("Settings of Sound Devices"));
            QCOMPARE(dialog.outputList->count(), 2);
            QCOMPARE(dialog.outputList->itemText(1), QString("1: pulse"));
            QCOMPARE(dialog.outputList->currentIndex(), int(stored.selectedOutputDevice));
            QVERIFY(dialog.rateButtons[1]->isChecked());
            dialog.blockCountField->setText(b.entered);
            click(dialog.okButton);
            QCOMPARE(stored.blockCount, b.stored);
        }

        {
            DeviceSettingsDialog dialog(nullptr, stored, outputs, inputs);
            dialog.outputList->setCurrentIndex(0);
            dialog.rateButtons[2]->setChecked(true);
            QVERIFY(!dialog.rateButtons[1]->isChecked());
            dialog.bootBox->setChecked(true);
            click(dialog.okButton);
        }
        QCOMPARE(stored.selectedOutputDevice, uint16_t(0));
        QCOMPARE(stored.onAirRateChoice, uint16_t(2));
        QCOMPARE(stored.startOnAirAtBoot, 1);

        // Lines that do not begin with a digit keep the stored indexes.
        stored.selectedInputDevice = 3;
        stored.selectedOutputDevice = 1;
        {
            DeviceSettingsDialog dialog(nullptr, stored, {"system", "pulse"}, {"mic"});
            QCOMPARE(dialog.inputList->currentIndex(), -1);  // 3 is beyond the input list
            dialog.inputList->setCurrentIndex(0);
            click(dialog.okButton);
        }
        QCOMPARE(stored.selectedOutputDevice, uint16_t(1));
        QCOMPARE(stored.selectedInputDevice, uint16_t(3));

        // No devices at all: empty lists, the indexes stay.
        {
            DeviceSettingsDialog dialog(nullptr, stored, {}, {});
            QCOMPARE(dialog.outputList->count(), 0);
            click(dialog.okButton);
        }
        QCOMPARE(stored.selectedOutputDevice, uint16_t(1));
        QCOMPARE(stored.selectedInputDevice, uint16_t(3));

        const StoredSettings before = stored;
        DeviceSettingsDialog dialog(nullptr, stored, outputs, inputs);
        dialog.outputList->setCurrentIndex(0);
        dialog.rateButtons[0]->setChecked(true);
        dialog.bootBox->setChecked(false);
        dialog.blockCountField->setText("7");
        click(dialog.cancelButton);
        QVERIFY(sameStored(stored, before));
    }

    void encoderSettingsRoundTripRefAndCancel() {
        const std::string settings = (folder / "ldrmp3.ini").string();
        StoredSettings stored;
        stored.useExternalEncoder = 1;
        std::snprintf(stored.externalEncoderPath, sizeof stored.externalEncoderPath, "/usr/bin/lame");
        std::snprintf(stored.externalEncoderParams, sizeof stored.externalEncoderParams, "-v -B 256 %%1 %%2");
        PlayState playState = PlayState::Playing;
        std::vector<FileDialogRequest> requests;
        const std::string chosen = (folder / "enc").string();
        auto choose = [&](const FileDialogRequest& request) {
            requests.push_back(request);
            return std::vector<std::string>{chosen};
        };

        {
            EncoderSettingsDialog dialog(nullptr, stored, playState, settings, choose);
            QCOMPARE(dialog.windowTitle(), QString("Settings for external encoding program"));
            QVERIFY(dialog.useBox->isChecked());
            QCOMPARE(dialog.pathField->text(), QString("/usr/bin/lame"));
            QCOMPARE(dialog.parametersField->text(), QString("-v -B 256 %1 %2"));
            // "Ref." while a song plays does nothing.
            click(dialog.refButton);
            QVERIFY(requests.empty());
            QCOMPARE(dialog.pathField->text(), QString("/usr/bin/lame"));
            click(dialog.okButton);
        }
        QCOMPARE(stored.useExternalEncoder, 1);
        QCOMPARE(QString(stored.externalEncoderPath), QString("/usr/bin/lame"));
        QCOMPARE(QString(stored.externalEncoderParams), QString("-v -B 256 %1 %2"));

        playState = PlayState::Stopped;
        {
            EncoderSettingsDialog dialog(nullptr, stored, playState, settings, choose);
            click(dialog.refButton);
            QCOMPARE(int(requests.size()), 1);
            QCOMPARE(QString::fromStdString(requests[0].initialName), QString("*.exe"));
            QCOMPARE(QString::fromStdString(requests[0].filters[0].first), QString("Open External MP3 Encoder {*.exe}"));
            QCOMPARE(QString::fromStdString(requests[0].defaultExtension), QString("exe"));
            QCOMPARE(QString::fromStdString(ReadSetting(kEncToolDirKey, settings)), QString::fromStdString(chosen));
            QCOMPARE(dialog.pathField->text(), QString::fromStdString(chosen));
            dialog.useBox->setChecked(false);
            dialog.parametersField->setText("%1 %2");
            click(dialog.okButton);
        }
        QCOMPARE(stored.useExternalEncoder, 0);
        QCOMPARE(QString(stored.externalEncoderPath), QString::fromStdString(chosen));
        QCOMPARE(QString(stored.externalEncoderParams), QString("%1 %2"));

        const StoredSettings before = stored;
        EncoderSettingsDialog dialog(nullptr, stored, playState, settings, choose);
        dialog.useBox->setChecked(true);
        dialog.pathField->setText("/other");
        dialog.parametersField->setText("x");
        click(dialog.cancelButton);
        QVERIFY(sameStored(stored, before));
    }

    void reexportQuestionAnswersThree() {
        const struct {
            int button;
            int result;
        } answers[] = {{0, 1}, {1, 2}, {2, 0}};
        for (const auto& a : answers) {
            ReexportDialog dialog(nullptr, "( Original Folder )");
            QCOMPARE(dialog.windowTitle(), QString("Export MP3/WAV files"));
            QCOMPARE(dialog.folderField->text(), QString("( Original Folder )"));
            QVERIFY(dialog.folderField->isReadOnly());
            QVERIFY(dialog.exportAllButton->isDefault());
            QPushButton* buttons[] = {dialog.exportAllButton, dialog.exceptExportedButton, dialog.cancelButton};
            click(buttons[a.button]);
            QCOMPARE(dialog.result(), a.result);
        }
    }

    void splashClosesItself() {
        SplashDialog splash(nullptr);
        QCOMPARE(splash.versionLabel->text(), QString("Version: V3.04.03"));
        QVERIFY(splash.closeTimer().isSingleShot());
        QCOMPARE(splash.closeTimer().interval(), 3000);
        QVERIFY(!splash.pictureLabel->pixmap().isNull());
        QVERIFY(splash.windowFlags() & Qt::FramelessWindowHint);
        splash.show();
        QVERIFY(splash.closeTimer().isActive());
        splash.closeTimer().start(0);  // as if the three seconds had passed
        QTRY_VERIFY(!splash.isVisible());
        QCOMPARE(splash.result(), int(QDialog::Accepted));
    }

    void exportProgressRunsTheJobToTheEnd() {
        // Three blocks and a bit of a 48 kHz stereo song.
        const fs::path songPath = folder / "song.wav";
        writeWav(songPath, tone(2 * 50000, 8000), 2, 48000);
        auto p = std::make_unique<Processor>();
        auto list = std::make_unique<Playlist>();
        addSong(*list, songPath);
        ExportOptions options;
        options.exportFormat = 0;
        options.throttleLevel = 55;
        const std::string target = (folder / "out.mp3").string();
        ExportRequest request;
        request.song = &list->songs[0];
        request.songStatus = &list->songStatus[0];
        request.targetPath = target;
        request.options = &options;
        request.runStamp = "87654321";
        request.temporaryFolder = folder.string();
        int panelRefreshes = 0;

        ExportProgressDialog dialog(nullptr, *p, request, [&] { ++panelRefreshes; });
        QCOMPARE(dialog.windowTitle(), QString("Loudara : Exporting WAV/MP3 File..."));
        QCOMPARE(dialog.processedTimeLabel->text(), QString("Processed WAV Time :"));
        QCOMPARE(dialog.throttleBox->text(), QString("Don't use 100% CPU Power: "));
        // The slider holds 1..40 and the stored level is clamped to 40.
        QCOMPARE(dialog.throttleSlider->minimum(), 1);
        QCOMPARE(dialog.throttleSlider->maximum(), 40);
        QCOMPARE(dialog.throttleSlider->value(), 40);
        QCOMPARE(options.throttleLevel, 40);
        QCOMPARE(dialog.jobHost().throttleLevel.load(), 40);
        QCOMPARE(dialog.jobHost().throttleOn.load(), 0);
        QCOMPARE(dialog.exec(), 1);
        QCOMPARE(QString::fromStdString(dialog.outcome().deliveredPath), QString::fromStdString((folder / "out.wav").string()));
        QCOMPARE(dialog.fromField->text(), QString::fromStdString(songPath.string()));
        QCOMPARE(dialog.toField->text(), QString::fromStdString((folder / "out.wav").string()));
        QCOMPARE(dialog.processedTimeField->text(), QString("00:01"));
        QCOMPARE(dialog.progressBar->maximum(), 3);
        QCOMPARE(dialog.progressBar->value(), 3);
        QVERIFY(panelRefreshes >= 3);
        SongRecord written;
        QCOMPARE(ProbeWavFile((folder / "out.wav").string().c_str(), written), WavProbeResult::Ok);
        QCOMPARE(written.dataBytes, uint32_t(2 * 50000 * 2));
    }

    void exportProgressCancelClosesWithZeroAndTheSliderThrottlesTheJob() {
        const fs::path songPath = folder / "long.wav";
        writeWav(songPath, tone(2 * 16384 * 12, 8000), 2, 44100);
        auto p = std::make_unique<Processor>();
        auto list = std::make_unique<Playlist>();
        addSong(*list, songPath);
        ExportOptions options;
        options.exportFormat = 0;
        ExportRequest request;
        request.song = &list->songs[0];
        request.songStatus = &list->songStatus[0];
        request.targetPath = (folder / "cut.wav").string();
        request.options = &options;
        request.runStamp = "87654322";
        request.temporaryFolder = folder.string();

        ExportProgressDialog dialog(nullptr, *p, request);
        // The job reads its throttle from its host; the options keep it for the next export.
        dialog.throttleBox->setChecked(true);
        QCOMPARE(dialog.jobHost().throttleOn.load(), 1);
        QCOMPARE(options.throttleOn, 1);
        dialog.throttleSlider->setValue(1);
        QCOMPARE(dialog.jobHost().throttleLevel.load(), 1);
        QCOMPARE(options.throttleLevel, 1);
        dialog.throttleSlider->setValue(25);
        QCOMPARE(dialog.jobHost().throttleLevel.load(), 25);
        QCOMPARE(options.throttleLevel, 25);
        dialog.throttleBox->setChecked(false);
        QCOMPARE(dialog.jobHost().throttleOn.load(), 0);
        QCOMPARE(options.throttleOn, 0);

        // Cancel as soon as the job shows its source; the dialog waits for the job's end.
        bool cancelled = false;
        QObject::connect(dialog.fromField, &QLineEdit::textChanged, &dialog, [&] {
            if (cancelled) return;
            cancelled = true;
            click(dialog.cancelButton);
            QVERIFY(dialog.isVisible());
        });
        QCOMPARE(dialog.exec(), 0);
        QVERIFY(cancelled);
        QVERIFY(dialog.jobHost().cancelRequested.load());
    }

    void peakDialogScansEverySongAndCancels() {
        auto list = std::make_unique<Playlist>();
        writeWav(folder / "a.wav", tone(40000, 12000), 2, 44100);
        writeWav(folder / "b.wav", tone(20000, 5000), 1, 44100);
        addSong(*list, folder / "a.wav");
        addSong(*list, folder / "b.wav");
        {
            PeakDialog dialog(nullptr, *list);
            QCOMPARE(dialog.windowTitle(), QString("Detecting Peak Level..."));
            QCOMPARE(dialog.exec(), 1);
            QCOMPARE(dialog.statusLabel->text(), QString("song = 1, done = 100%"));
            QCOMPARE(dialog.progressBar->maximum(), 2);
            QCOMPARE(dialog.progressBar->value(), 2);
        }
        QCOMPARE(list->songs[0].peakLevel, 12000u);
        QCOMPARE(list->songs[1].peakLevel, 5000u);

        PeakDialog dialog(nullptr, *list);
        auto showStatus = dialog.jobHost().onStatus;
        dialog.jobHost().onStatus = [&](const std::string& text) {
            showStatus(text);
            click(dialog.cancelButton);
        };
        QCOMPARE(dialog.exec(), 0);
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"

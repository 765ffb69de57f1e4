// The window with its stream over fake devices, on the offscreen platform: Play, Stop and ON-AIR
// enabled once the transport is in and greyed by the ON-AIR lock as the menu expects, the device
// notices reaching the streaming logic through the window's event loop, the panel while a song
// plays (time display, meters rising and falling back, rate and channel displays), the seek
// buttons held under the cursor, start-up without devices, and closing while a song plays.

#include <QCursor>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QToolBar>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

#include "wav_writer.h"
#include "fake_wave.h"
#include "test_window.h"
#include "ui/loudness_strip.h"
#include "ui/song_list.h"
#include "ui/stream_adapter.h"

namespace fs = std::filesystem;
using namespace loudara;

namespace {

constexpr int kFramesPerBlock = 4096;

// A loud 1 kHz stereo tone at 44100 Hz as a WAV file.
void writeTone(const fs::path& path, int frames) {
    std::vector<int16_t> samples(2 * static_cast<size_t>(frames));
    for (int f = 0; f < frames; ++f) {
        samples[2 * f] = samples[2 * f + 1] = static_cast<int16_t>(20000 * std::sin(2 * M_PI * 1000 * f / 44100.0));
    }
    test::writePcmWav(path, samples, 2, 44100);
}

}  // namespace

class StreamWindowTest : public QObject, private test::WindowUnderTest {
    Q_OBJECT

private:
    std::unique_ptr<test::FakeWavePlatform> platform;
    std::unique_ptr<Mp3Decoder> mp3;
    std::unique_ptr<StreamAdapter> streams;

    int T() const { return window->toolbarHeight(); }

    void makeWindow() {
        createWindow();
        streams = std::make_unique<StreamAdapter>(*window, *state, *processor, *platform, *mp3);
    }
    void showWindow() { QVERIFY(exposeWindow()); }

    void addTone(const char* name, int frames) {
        const fs::path path = folder / name;
        writeTone(path, frames);
        window->dispatcher().drop({path.string()});
    }

    // Every enabled state of the command's menu items and toolbar buttons, in one list.
    QList<bool> enabled(int id) const {
        QList<bool> states;
        for (QAction* action : window->findChildren<QAction*>()) {
            if (!action->isSeparator() && action->menu() == nullptr && action->data().toInt() == id) {
                states << action->isEnabled();
            }
        }
        return states;
    }
    QAction* toolbarAction(int id) const {
        for (QAction* action : window->toolbar()->actions()) {
            if (action->data().toInt() == id) return action;
        }
        return nullptr;
    }

    // One period of the fake output; the notices go through the window's event loop.
    void playPeriod() {
        std::vector<uint8_t> buffer(kSoundBlockBytes);
        platform->output->render(buffer.data(), buffer.size());
        QTRY_VERIFY(!streams->engine().notices.pending());
    }
    QImage panelArea(int x, int y, int width, int height) {
        window->paintPanel();
        return window->backSurface().copy(x, y, width, height).toImage();
    }
    // The cursor at client point (x, y) of the panel.
    void cursorAt(int x, int y) { QCursor::setPos(window->panel()->mapToGlobal(QPoint(x, y - T()))); }

private slots:
    void init() {
        prepareFolderAndState("loudara_stream_ui_");
        applyFirstStart(*processor);
        platform = std::make_unique<test::FakeWavePlatform>();
        mp3 = std::make_unique<Mp3Decoder>();
    }
    void cleanup() {
        streams.reset();
        closeWindow();
    }

    void playStopAndOnAirFollowTheTransportAndTheLock() {
        makeWindow();
        showWindow();
        for (int id : {cmd::Play, cmd::Stop, cmd::OnAir}) QVERIFY(!enabled(id).contains(true));
        streams->start();
        QCOMPARE(enabled(cmd::Play), (QList<bool>{true, true}));  // menu and toolbar
        QCOMPARE(enabled(cmd::Stop), (QList<bool>{true, true}));
        QCOMPARE(enabled(cmd::OnAir), (QList<bool>{true}));

        // ON-AIR from its menu item greys the playlist commands; Play and Stop stay.
        for (QAction* action : window->menuBar()->findChildren<QAction*>()) {
            if (action->data().toInt() == cmd::OnAir && action->menu() == nullptr) action->trigger();
        }
        QCOMPARE(state->onAirMode, 1);
        for (int id : kOnAirLockedCommands) QVERIFY2(!enabled(id).contains(true), qPrintable(QString::number(id)));
        QCOMPARE(enabled(cmd::RemoveAll).size(), 2);  // its toolbar button is greyed too
        QCOMPARE(enabled(cmd::Play), (QList<bool>{true, true}));
        QCOMPARE(enabled(cmd::OnAir), (QList<bool>{true}));
        QCOMPARE(enabled(cmd::Bypass), (QList<bool>{true}));

        window->dispatcher().dispatch(cmd::OnAir);
        QCOMPARE(state->onAirMode, 0);
        for (int id : kOnAirLockedCommands) {
            const bool available = window->dispatcher().available(id);
            for (bool on : enabled(id)) QCOMPARE(on, available);
        }
        QVERIFY(enabled(cmd::OpenSoundFile).contains(true));

        // Without the transport they go grey again.
        streams.reset();
        for (int id : {cmd::Play, cmd::Stop, cmd::OnAir}) QVERIFY(!enabled(id).contains(true));
    }

    void aPlayingSongDrivesThePanelThroughTheWindowsLoop() {
        makeWindow();
        streams->start();
        showWindow();
        addTone("tone.wav", 40 * kFramesPerBlock);
        const QImage restTime = panelArea(405, 33, 70, 15);
        const QImage restInput = panelArea(33, 44, 48, 75);
        const QImage restOutput = panelArea(345, 44, 48, 75);
        const QImage restRate = panelArea(575, 34, 93, 12);
        const QImage restChannels = panelArea(495, 34, 76, 12);

        toolbarAction(cmd::Play)->trigger();
        QCOMPARE(state->playState, PlayState::Playing);
        QCOMPARE(streams->transport().lastStart(), StartResult::Started);
        QVERIFY(window->toolTipText(cmd::Play).isEmpty());  // no tips while playing
        for (int i = 0; i < 7; ++i) playPeriod();
        QCOMPARE(state->playState, PlayState::Playing);
        QCOMPARE(FormatPlayTime(streams->streaming()), QString(" 00:01").toStdString());
        QVERIFY(panelArea(405, 33, 70, 15) != restTime);
        QVERIFY(panelArea(575, 34, 93, 12) != restRate);
        QVERIFY(panelArea(495, 34, 76, 12) != restChannels);
        playPeriod();
        QVERIFY(panelArea(33, 44, 48, 75) != restInput);
        playPeriod();
        QVERIFY(panelArea(345, 44, 48, 75) != restOutput);

        // Stop: the queued blocks play out, the devices close, and the meters fall back as the
        // panel is painted.
        toolbarAction(cmd::Stop)->trigger();
        QCOMPARE(state->playState, PlayState::Draining);
        for (int i = 0; i < 8 && state->playState != PlayState::Stopped; ++i) playPeriod();
        QCOMPARE(state->playState, PlayState::Stopped);
        QVERIFY(!streams->engine().output);
        for (int i = 0; i < 60; ++i) window->paintPanel();
        QCOMPARE(panelArea(33, 44, 48, 75), restInput);
        QCOMPARE(panelArea(345, 44, 48, 75), restOutput);
        QCOMPARE(panelArea(405, 33, 70, 15), restTime);
        QCOMPARE(panelArea(575, 34, 93, 12), restRate);
    }

    // The loudness strip sits between the panel and the list, measures the processed blocks while
    // a song plays, keeps the integrated loudness after Stop until a click, shows an export's
    // output after it, and goes back to the stream when the next one starts.
    void theLoudnessStripFollowsTheStreamAndTheExport() {
        makeWindow();
        streams->start();
        showWindow();
        LoudnessStrip* strip = window->loudnessStrip();
        QCOMPARE(strip->geometry().top(), window->panel()->geometry().bottom() + 1);
        QCOMPARE(window->songList()->geometry().top(), strip->geometry().bottom() + 1);
        QCOMPARE(strip->figures().mode, LoudnessStripMode::Idle);
        addTone("tone.wav", 40 * kFramesPerBlock);
        window->dispatcher().dispatch(cmd::Play);
        for (int i = 0; i < 12; ++i) playPeriod();
        LoudnessStripFigures live = strip->figures();
        QCOMPARE(live.mode, LoudnessStripMode::Live);
        QVERIFY(live.momentaryLufs > -20.0 && live.momentaryLufs < 0.0);
        QVERIFY(std::abs(live.integratedLufs - live.momentaryLufs) < 1.0);  // a steady tone
        QVERIFY(live.truePeakDbtp > -6.0 && live.truePeakDbtp < 0.5);
        window->dispatcher().dispatch(cmd::Stop);
        for (int i = 0; i < 8 && state->playState != PlayState::Stopped; ++i) playPeriod();
        window->repaintPanel();
        QVERIFY(!hasValue(strip->figures().momentaryLufs));
        QCOMPARE(strip->figures().integratedLufs, live.integratedLufs);
        QTest::mouseClick(strip, Qt::LeftButton);
        QVERIFY(!hasValue(strip->figures().integratedLufs));

        ExportLoudness exported;
        exported.measured = exported.mp3 = exported.afterCodecMeasured = true;
        exported.output.integratedLufs = -9.0;
        exported.afterCodec.integratedLufs = -9.2;
        exported.afterCodec.truePeakDbtp = -0.8;
        strip->showExport(exported);
        QCOMPARE(strip->figures().mode, LoudnessStripMode::Export);
        QCOMPARE(strip->figures().integratedLufs, -9.2);
        QCOMPARE(strip->figures().truePeakDbtp, -0.8);
        window->dispatcher().dispatch(cmd::Play);
        QCOMPARE(strip->figures().mode, LoudnessStripMode::Live);
        window->dispatcher().dispatch(cmd::Stop);
        for (int i = 0; i < 8 && state->playState != PlayState::Stopped; ++i) playPeriod();
    }

    void seekGoesOnOnlyWhileTheCursorStaysOnTheButton() {
        makeWindow();
        streams->start();
        showWindow();
        addTone("tone.wav", 80 * kFramesPerBlock);
        window->dispatcher().dispatch(cmd::Play);
        QCOMPARE(state->playState, PlayState::Playing);
        const PanelButton& fastForward = window->panelButtons().transports[5];
        const QPoint inside(fastForward.x + 15, fastForward.y + 12);
        cursorAt(inside.x(), inside.y());
        QVERIFY(streams->view().cursorOverTransportButton(5));
        QVERIFY(!streams->view().cursorOverTransportButton(4));
        QTest::mousePress(window->panel(), Qt::LeftButton, {}, QPoint(inside.x(), inside.y() - T()));
        QCOMPARE(state->seekActive, 1);
        QCOMPARE(state->seekSteps, 20);
        QVERIFY(window->panelButtons().transports[5].pressed);

        const uint32_t before = streams->engine().playPosition;
        playPeriod();
        QCOMPARE(streams->engine().playPosition - before, 20u * kSoundBlockBytes);

        // The cursor leaves the button (its left edge is outside): the seek ends by itself.
        cursorAt(fastForward.x, inside.y());
        QVERIFY(!streams->view().cursorOverTransportButton(5));
        const uint32_t after = streams->engine().playPosition;
        playPeriod();
        QCOMPARE(streams->engine().playPosition - after, uint32_t(kSoundBlockBytes));
        QCOMPARE(state->seekActive, 0);
        QVERIFY(!window->panelButtons().transports[5].pressed);
        QTest::mouseRelease(window->panel(), Qt::LeftButton, {}, QPoint(fastForward.x, inside.y() - T()));
    }

    void startUpWithoutDevicesShowsBothMessagesAndArmsTimerThree() {
        platform->outputs.clear();
        platform->inputs.clear();
        state->stored.startOnAirAtBoot = 1;
        makeWindow();
        streams->start();
        QCOMPARE(window->messages.size(), size_t(2));
        QCOMPARE(window->messages[0].text, std::string(kNoOutputDeviceText));
        QCOMPARE(window->messages[1].text, std::string(kNoInputDeviceText));
        QVERIFY(window->timerRunning(kTimerOnAirBoot));
        QVERIFY(!window->timerRunning(kTimerNextSong));
        showWindow();
        QVERIFY(window->isVisible());
        QCOMPARE(enabled(cmd::Play), (QList<bool>{true, true}));  // nothing else is switched off
    }

    void closingWhileASongPlaysStopsItFirst() {
        makeWindow();
        streams->start();
        showWindow();
        addTone("tone.wav", 40 * kFramesPerBlock);
        window->dispatcher().dispatch(cmd::Play);
        playPeriod();
        QCOMPARE(state->playState, PlayState::Playing);
        window->close();
        QCOMPARE(state->playState, PlayState::Stopped);
        QVERIFY(!streams->engine().output);
        QVERIFY(platform->output->streamClosed);
        streams->close();
        QCOMPARE(state->playState, PlayState::Stopped);
    }
};

QTEST_MAIN(StreamWindowTest)
#include "stream_window_test.moc"

// The main window on the offscreen platform: the menu tree and the ON-AIR lock, the toolbar and
// its tips, knob clicks through the panel, the toggle buttons' edges, the playlist view's header
// and rows, and the window's size rules. Dialogs are answered by the test window itself.

#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTableView>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <filesystem>
#include <fstream>

#include "wav_writer.h"
#include "test_window.h"
#include "ui/song_list.h"

namespace fs = std::filesystem;
using namespace loudara;

namespace {

// A one-second 44.1 kHz stereo WAV file of silence.
void writeWav(const fs::path& path) { test::writePcmWav(path, std::vector<int16_t>(2 * 44100, 0), 2, 44100); }

// "Menu/Sub/Text id" lines (with " img" when the item has an image and " off" when it is
// disabled); separators as "Menu/-".
void walk(QMenu* menu, const QString& path, QStringList& lines) {
    for (QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            lines << path + "/-";
        } else if (action->menu() != nullptr) {
            walk(action->menu(), path + "/" + action->text(), lines);
        } else {
            QString line = path + "/" + action->text() + " " + QString::number(action->data().toInt());
            if (!action->icon().isNull()) line += " img";
            if (!action->isEnabled()) line += " off";
            lines << line;
        }
    }
}

}  // namespace

class MainWindowTest : public QObject, private test::WindowUnderTest {
    Q_OBJECT

private:
    int T() const { return window->toolbarHeight(); }
    // A click at client point (x, y) of the panel.
    void clickPanel(int x, int y, Qt::KeyboardModifiers keys = {}) {
        QTest::mouseClick(window->panel(), Qt::LeftButton, keys, QPoint(x, y - T()));
    }
    Knob& single(double* value) {
        for (Knob& k : window->knobs().singles) {
            if (k.value == value) return k;
        }
        qFatal("no knob");
    }
    QStringList menuLines() {
        QStringList lines;
        for (QAction* top : window->menuBar()->actions()) walk(top->menu(), top->text(), lines);
        return lines;
    }

private slots:
    void init() { QVERIFY(openWindow("loudara_ui_")); }
    void cleanup() { closeWindow(); }

    void menuTreeHasEveryTextIdAndImage() {
        const QStringList expected = {
            "File/Open Playlist... 321 img", "File/Save Playlist... 354 img", "File/-",
            "File/Open WAV/MP3 File... 331 img", "File/-", "File/Sound Device Settings... 358 img", "File/-",
            "File/Quit 345",
            "Sound Parameters/Open Parameter File... 322 img", "Sound Parameters/Save Parameter File... 355 img",
            "Sound Parameters/-",
            "Sound Parameters/* Recommended Presets/Simulates Digital Audio Broadcast/Wide Stereo(Genetral Purpose) 339 img",
            "Sound Parameters/* Recommended Presets/Simulates Digital Audio Broadcast/Punchy Bass（Hip-Hop Music） 336 img",
            "Sound Parameters/* Recommended Presets/Simulates Digital Audio Broadcast/Bright and Dense（Rock Music） 338 img",
            "Sound Parameters/* Recommended Presets/Simulates Digital Audio Broadcast/Clear Vocal（POP Music） 337 img",
            "Sound Parameters/* Recommended Presets/For Internet Broadcast/Internet Radio Station - Talk && Music Show 335 img",
            "Sound Parameters/* Recommended Presets/For Internet Broadcast/AM Radio Station - Talk Show 334 img",
            "Sound Parameters/* Recommended Presets/Simulates FM Broadcast (with emphasis)/Smooth Listening(Favorite FM) 232 img",
            "Sound Parameters/* Recommended Presets/Simulates FM Broadcast (with emphasis)/Wide Stereo(Genetral Purpose) 343 img",
            "Sound Parameters/* Recommended Presets/Simulates FM Broadcast (with emphasis)/Punchy Bass（Hip-Hop Music） 340 img",
            "Sound Parameters/* Recommended Presets/Simulates FM Broadcast (with emphasis)/Bright and Dense（Rock Music） 342 img",
            "Sound Parameters/* Recommended Presets/Simulates FM Broadcast (with emphasis)/Clear Vocal（POP Music） 341 img",
            "Sound Parameters/-",
            "Sound Parameters/Use User's Preset/Preset #1 315 img", "Sound Parameters/Use User's Preset/Preset #2 316 img",
            "Sound Parameters/Use User's Preset/Preset #3 317 img",
            "Sound Parameters/Save Parameters to/Preset #1 348 img", "Sound Parameters/Save Parameters to/Preset #2 349 img",
            "Sound Parameters/Save Parameters to/Preset #3 350 img",
            "Sound Parameters/-",
            "Sound Parameters/Bypass - ON/OFF 307 img", "Sound Parameters/Bass EQ - ON/OFF 303 img",
            "Sound Parameters/Bass Phase Shifter - ON/OFF 332 img", "Sound Parameters/Stereo Enhancer - ON/OFF 363 img",
            "Sound Parameters/-",
            "Sound Parameters/Virtual Speaker ON/OFF 40118 img",
            "Sound Parameters/Initialize Virtual Speaker Parameters 40120 img",
            "Sound Parameters/-",
            "Sound Parameters/** ON AIR MODE ** - ON/OFF 328 img off",
            "Sound Parameters/-",
            "Sound Parameters/De-emphasis ON/OFF 182 img",
            "Playlist/Play 333 img off", "Playlist/Stop 364 img off",
            "Playlist/Choose a song/UP 366 img", "Playlist/Choose a song/DOWN 318 img", "Playlist/-",
            "Playlist/Continuous Playback - ON/OFF 302 img", "Playlist/-",
            "Playlist/Move the current song/UP 326 img", "Playlist/Move the current song/DOWN 325 img",
            "Playlist/Move the current song/-", "Playlist/Move the current song/Delete 352 img", "Playlist/-",
            "Playlist/Sort List/Ascending 359 img", "Playlist/Sort List/Descending 360 img", "Playlist/-",
            "Playlist/Get Peak Level... 320 img", "Playlist/-", "Playlist/Remove all songs 40125 img",
            "Export/Export the current song to a new WAV/MP3 file... 323 img", "Export/-",
            "Export/Export all songs to new WAV/MP3 files... 324 img", "Export/-",
            "Export/External MP3 Encoding Program Setings.. 269 img",
            "Help/About Loudara... 301 img", "Help/-", "Help/User's Manual 346 img",
            "Help/Get the latest version... 365 img",
        };
        QCOMPARE(menuLines(), expected);
    }

    // The commands pressed most have keys, shown in their menu items; no key serves two commands,
    // and none takes a key the playlist uses (Space, the arrows, Delete).
    void menuItemsOfTheCommonCommandsCarryTheirKeys() {
        const QList<QPair<int, QString>> expected = {
            {331, "Ctrl+O"},       {321, "Ctrl+Shift+O"}, {354, "Ctrl+S"},       {322, "Ctrl+Alt+O"},
            {355, "Ctrl+Alt+S"},   {333, "Ctrl+Return"},  {364, "Ctrl+."},       {328, "Ctrl+Shift+A"},
            {323, "Ctrl+E"},       {324, "Ctrl+Shift+E"}, {346, "F1"},           {345, "Ctrl+Q"}};
        QMap<QString, int> owners;
        for (QAction* top : window->menuBar()->actions()) {
            QList<QMenu*> menus = {top->menu()};
            while (!menus.isEmpty()) {
                QMenu* menu = menus.takeFirst();
                for (QAction* action : menu->actions()) {
                    if (action->menu()) menus << action->menu();
                    const QString key = action->shortcut().toString();
                    if (key.isEmpty()) continue;
                    QVERIFY2(!owners.contains(key), qPrintable(key));
                    owners[key] = action->data().toInt();
                }
            }
        }
        QCOMPARE(owners.size(), expected.size());
        for (const auto& [id, key] : expected) QCOMPARE(owners.value(key), id);
        for (const char* listKey : {"Space", "Up", "Down", "Del"}) QVERIFY(!owners.contains(QString(listKey)));
    }

    void onAirLockGreysItsItemsAndGivesBackOnlyAvailableOnes() {
        const QList<int> locked = {321, 354, 331, 358, 366, 318, 302, 326, 325, 352, 359, 360, 320, 323, 324, 40125};
        window->setOnAirLock(true);
        QList<QAction*> all = window->findChildren<QAction*>();
        int checked = 0;
        for (QAction* action : all) {
            const int id = action->data().toInt();
            if (id == 0 || action->isSeparator()) continue;
            if (locked.contains(id)) {
                QVERIFY2(!action->isEnabled(), qPrintable(QString::number(id)));
                ++checked;
            } else if (id == 307 || id == 232 || id == 315) {
                QVERIFY(action->isEnabled());
            }
        }
        QVERIFY(checked >= locked.size() + 2);  // the toolbar's 331 and 40125 too
        window->setOnAirLock(false);
        for (QAction* action : all) {
            const int id = action->data().toInt();
            if (!locked.contains(id)) continue;
            QVERIFY2(action->isEnabled(), qPrintable(QString::number(id)));
        }
    }

    void toolbarOrderTipsAndDropDowns() {
        QList<int> ids;
        for (QAction* action : window->toolbar()->actions()) ids << (action->isSeparator() ? 0 : action->data().toInt());
        QCOMPARE(ids, (QList<int>{331, 40125, 0, 333, 364, 0, 323, 324, 0, 339, 335, 232, 315, 316, 317}));

        QCOMPARE(window->toolTipText(331), QString("Open WAV/MP3 file to play"));
        QCOMPARE(window->toolTipText(40125), QString("Remove all songs on the playlist"));
        QCOMPARE(window->toolTipText(333), QString("Play[SPACE]"));
        QCOMPARE(window->toolTipText(364), QString("Stop[SPACE]"));
        QCOMPARE(window->toolTipText(323), QString("Export the current song to a new WAV/MP3 file"));
        QCOMPARE(window->toolTipText(324), QString("Export all songs to new WAV/MP3 files"));
        QCOMPARE(window->toolTipText(316), QString("User Preset #2"));
        QCOMPARE(window->toolTipText(339), QString());  // ids without a tip show none
        state->playState = PlayState::Playing;
        QCOMPARE(window->toolTipText(331), QString());
        state->playState = PlayState::Stopped;

        QStringList popups;
        for (QAction* action : window->toolbar()->actions()) {
            auto* button = qobject_cast<QToolButton*>(window->toolbar()->widgetForAction(action));
            if (button == nullptr || button->menu() == nullptr) continue;
            QCOMPARE(button->popupMode(), QToolButton::MenuButtonPopup);
            for (QAction* item : button->menu()->actions()) popups << item->text() + " " + item->data().toString();
        }
        QCOMPARE(popups, (QStringList{"Digital Broadcast - Wide Stereo(Genetral Purpose) 339",
                                      "Digital Broadcast - Punchy Bass(Hip-Hop Music) 336",
                                      "Digital Broadcast - Bright and Dense(Rock Music) 338",
                                      "Digital Broadcast - Clear Vocal(POP Music) 337",
                                      "Internet Radio Station - Talk && Music Show 335",
                                      "AM Radio Station - Talk Show 334",
                                      "FM Station - Smooth Listening(Favorite FM) 232",
                                      "FM Station - Wide Stereo(Genetral Purpose) 343",
                                      "FM Station - Punchy Bass(Hip-Hop Music) 340",
                                      "FM Station - Bright and Dense(Rock Music) 342",
                                      "FM Station - Clear Vocal(POP Music) 341"}));
    }

    void knobClicksStepClampAndJump() {
        // Shift steps ten times, clamped at the limit: drive at 23.5 goes to 24.0.
        processor->bands[2].driveDb = 23.5;
        clickPanel(341 + 75, 189 + 6, Qt::ShiftModifier);
        QCOMPARE(processor->bands[2].driveDb, 24.0);
        clickPanel(341 + 55, 189 + 6);  // between the two arrows' zones (down x+30..40, up x+70..80)
        QCOMPARE(processor->bands[2].driveDb, 24.0);
        clickPanel(341 + 41, 189 + 6);
        QCOMPARE(processor->bands[2].driveDb, 24.0);
        clickPanel(341 + 69, 189 + 6);
        QCOMPARE(processor->bands[2].driveDb, 24.0);
        clickPanel(341 + 30, 189 + 12);  // the down arrow's corner
        QVERIFY(qAbs(processor->bands[2].driveDb - 23.9) < 1e-9);
        clickPanel(341 + 75, 189 + 13);  // just below the knob
        QVERIFY(qAbs(processor->bands[2].driveDb - 23.9) < 1e-9);

        processor->params.enhancerDelayMs = 30.0;
        clickPanel(98 + 55, 232 + 6, Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(processor->params.enhancerDelayMs, 30.0);
        clickPanel(98 + 32, 232 + 6, Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(processor->params.enhancerDelayMs, 1.0);
        QCOMPARE(KnobLabel(single(&processor->params.enhancerDelayMs), *processor), std::string("  1ms"));
    }

    void gateKnobsFollowTheGateSwitch() {
        processor->settings.gateOn = 0;
        for (BandSettings& band : processor->bands) band.gateDb = -36.0;
        processor->bands[5].gateDb = -12.0;
        clickPanel(286 + 75, 161 + 6);  // band 0's gate knob
        QCOMPARE(processor->bands[0].gateDb, -36.0);
        QCOMPARE(KnobLabel(window->knobs().columns[kGateColumn][0], *processor), std::string(" ---"));
        clickPanel(286 + 75, 245 + 6);  // the gate column's all-bands knob still moves them all
        QVERIFY(qAbs(processor->bands[0].gateDb + 35.9) < 1e-9);
        QCOMPARE(processor->bands[5].gateDb, -12.0);  // held at its own limit
        QCOMPARE(window->knobs().allBandsDelta[kGateColumn], 0.0);

        processor->settings.gateOn = 1;
        clickPanel(286 + 55, 161 + 6);
        clickPanel(286 + 40, 161 + 6);
        QVERIFY(qAbs(processor->bands[0].gateDb + 36.0) < 1e-9);
        QCOMPARE(KnobLabel(window->knobs().columns[kGateColumn][0], *processor), std::string("-36.0"));

        // Shift on an all-bands knob moves the column by a whole decibel.
        for (BandSettings& band : processor->bands) band.depthDb = 10.0;
        clickPanel(396 + 55, 245 + 6, Qt::ShiftModifier);
        clickPanel(396 + 32, 245 + 6, Qt::ShiftModifier);
        for (const BandSettings& band : processor->bands) QVERIFY(qAbs(band.depthDb - 9.0) < 1e-9);
    }

    void selectorKnobsAndTheirLabels() {
        double& lowpass = processor->settings.finalLowpass;
        lowpass = 1.0;
        Knob& knob = single(&lowpass);
        QCOMPARE(KnobLabel(knob, *processor), std::string(" 15k"));
        clickPanel(653 + 75, 173 + 6);
        QCOMPARE(KnobLabel(knob, *processor), std::string(" thru"));
        clickPanel(653 + 75, 173 + 6);
        QCOMPARE(KnobLabel(knob, *processor), std::string(" thru"));
        for (int i = 0; i < 8; ++i) clickPanel(653 + 32, 173 + 6);
        QCOMPARE(KnobLabel(knob, *processor), std::string("  4k"));

        processor->params.preEmphasis = 0.0;
        processor->params.hfLimitDepthDb = 5.0;
        Knob& depth = single(&processor->params.hfLimitDepthDb);
        QCOMPARE(KnobLabel(depth, *processor), std::string(" ---"));
        QCOMPARE(KnobLabel(single(&processor->params.hfLimitThresholdDb), *processor), std::string(" ---"));
        clickPanel(185 + 75, 209 + 6);
        QVERIFY(qAbs(processor->params.hfLimitDepthDb - 5.1) < 1e-9);
        processor->params.preEmphasis = 2.0;
        QCOMPARE(KnobLabel(depth, *processor), std::string("  5.1"));
        QCOMPARE(KnobLabel(single(&processor->params.preEmphasis), *processor), std::string(" 75us"));
        QCOMPARE(KnobLabel(single(&processor->settings.channelMode), *processor), std::string(" L<>R "));
        processor->params.agcSpeed = 2.0;
        QCOMPARE(KnobLabel(single(&processor->params.agcSpeed), *processor), std::string("m.slow"));
        processor->params.bandAttackTime = 5.0;
        QCOMPARE(KnobLabel(single(&processor->params.bandAttackTime), *processor), std::string("  6ms"));
        QCOMPARE(KnobLabel(single(&window->knobs().allBandsDelta[kDriveColumn]), *processor), std::string());
    }

    void heldButtonRepeatsThroughTimerTwo() {
        QTest::mousePress(window->panel(), Qt::LeftButton, {}, QPoint(3 + 75, 159 + 6 - T()));
        QCOMPARE(state->mouseHeld, 1);
        QVERIFY(window->timerRunning(kTimerRepeat));
        QCOMPARE(state->lastClickY, 159 + 6);
        QTest::mouseRelease(window->panel(), Qt::LeftButton, {}, QPoint(3 + 75, 159 + 6 - T()));
        QCOMPARE(state->mouseHeld, 0);
        QVERIFY(!window->timerRunning(kTimerRepeat));
    }

    void toggleButtonsReactOnlyStrictlyInside() {
        const int y = T() + 65;
        processor->settings.bypass = 0;
        clickPanel(425, y + 7);  // left edge
        QCOMPARE(processor->settings.bypass, 0);
        clickPanel(425 + 93, y + 7);  // right edge
        QCOMPARE(processor->settings.bypass, 0);
        clickPanel(430, y + 15);  // bottom edge
        QCOMPARE(processor->settings.bypass, 0);
        clickPanel(426, y + 1);
        QCOMPARE(processor->settings.bypass, 1);

        // The virtual speaker does not switch while bypassed.
        processor->settings.virtualSpeakerOn = 0;
        clickPanel(60, T() + 265 + 7);
        QCOMPARE(processor->settings.virtualSpeakerOn, 0);
        processor->settings.bypass = 0;
        clickPanel(60, T() + 265 + 7);
        QCOMPARE(processor->settings.virtualSpeakerOn, 1);

        state->continuousPlayback = 1;
        clickPanel(536 + 40, T() + 97 + 7);
        QCOMPARE(state->continuousPlayback, 0);
        processor->settings.speakerSpacingCm = 2.0;
        clickPanel(635 + 17, T() + 265 + 7);  // reset
        QCOMPARE(processor->settings.speakerSpacingCm, 18.0);

        // The true-peak limiter's switch and ceiling sit under the post clip, and work while
        // bypassed (the limiter itself stays out of a bypassed chain).
        processor->settings.truePeakLimiter = 0;
        clickPanel(667 + 36, T() + 210 + 7);
        QCOMPARE(processor->settings.truePeakLimiter, 1);
        QVERIFY(ToggleLightOn(kTruePeakButton, *state, *processor));
        Knob& ceiling = single(&processor->settings.truePeakCeilingDb);
        QCOMPARE(ceiling.y, 256);
        clickPanel(ceiling.x + 75, ceiling.y + 6, Qt::ShiftModifier);  // ten steps up, held at 0 dBTP
        QCOMPARE(processor->settings.truePeakCeilingDb, 0.0);
        for (int i = 0; i < 7; ++i) clickPanel(ceiling.x + 35, ceiling.y + 6, Qt::ShiftModifier);
        QCOMPARE(processor->settings.truePeakCeilingDb, -6.0);
        clickPanel(667 + 36, T() + 210 + 7);
        QCOMPARE(processor->settings.truePeakLimiter, 0);
    }

    void playlistHeaderAndRows() {
        std::vector<std::string> names;
        for (const char* name : {"b.wav", "a.wav", "c.wav"}) {
            writeWav(folder / name);
            names.push_back((folder / name).string());
        }
        window->dispatcher().drop(names);
        QCOMPARE(state->playlist.songCount, 3);
        QCOMPARE(window->statusPart(1)->text(), QString("3 songs in list"));
        QCOMPARE(window->statusPart(0)->text(), QString(kKeyHelpText));
        QTableView* list = window->songList();
        QCOMPARE(list->model()->columnCount(), 10);
        QCOMPARE(list->model()->headerData(3, Qt::Horizontal).toString(), QString("File Name"));
        QVERIFY(!list->model()->index(0, 0).data(Qt::DecorationRole).isNull());

        // The first header click sorts descending.
        QHeaderView* header = list->horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(3) + 10, header->height() / 2));
        QCOMPARE(list->model()->index(0, 3).data().toString(), QString("c.wav"));
        QCOMPARE(list->model()->index(2, 3).data().toString(), QString("a.wav"));

        // A click selects the row; a quick second click while playing stops.
        uint32_t tick = 5000;
        window->setTickSource([&tick] { return tick; });
        const QPoint row1 = list->visualRect(list->model()->index(1, 3)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row1);
        QCOMPARE(state->playlist.currentSong, 1);
        QCOMPARE(list->selectionModel()->currentIndex().row(), 1);
        state->playState = PlayState::Playing;
        tick += 200;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row1);
        QCOMPARE(state->playState, PlayState::Draining);
        QCOMPARE(state->noAdvanceOnce, 1);

        state->playState = PlayState::Stopped;
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(state->playlist.currentSong, 0);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(state->playlist.songCount, 2);
        QCOMPARE(window->statusPart(1)->text(), QString("2 songs in list"));
    }

    void windowSizeRules() {
        QCOMPARE(window->windowTitle(), QString("Loudara V3.04"));
        QCOMPARE(window->minimumWidth(), 745);
        QCOMPARE(window->maximumWidth(), 745);
        QCOMPARE(window->width(), 745);
        QCOMPARE(window->toolbar()->height(), 28);
        QCOMPARE(window->minimumHeight(), window->panelHeight() + 200);
        QCOMPARE(window->panelHeight(), 315);
        QCOMPARE(window->panel()->height(), 287);
        QCOMPARE(state->panelRect.bottom, 28 + 286);
        window->resize(745, 300);
        QVERIFY(window->height() >= window->panelHeight() + 200);
        QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

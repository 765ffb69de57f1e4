// Details of the window a user meets first: preset names that render, the mouse wheel and tool
// tips on the knobs, a notice for files that cannot be added, toolbar images at a display scale
// of 2, and file dialogs that open with their name field filled in.

#include <QApplication>
#include <QFileDialog>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QWheelEvent>
#include <cstring>
#include <filesystem>
#include <memory>

#include "wav_writer.h"
#include "test_window.h"

namespace fs = std::filesystem;
using namespace loudara;

namespace {

void allActions(QMenu* menu, QList<QAction*>& out) {
    for (QAction* action : menu->actions()) {
        if (action->menu() != nullptr) allActions(action->menu(), out);
        out << action;
    }
}

// The glyphs Qt draws for `text` in `font`, fallback fonts included; glyph 0 is the empty box.
bool everyCharacterHasAGlyph(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns()) {
        for (quint32 glyph : run.glyphIndexes()) {
            if (glyph == 0) return false;
        }
    }
    return !layout.glyphRuns().isEmpty();
}

}  // namespace

class WindowDetailsTest : public QObject, private test::WindowUnderTest {
    Q_OBJECT

    Knob& knobOf(double* value) {
        for (Knob& k : window->knobs().singles) {
            if (k.value == value) return k;
        }
        for (auto& column : window->knobs().columns) {
            for (Knob& k : column) {
                if (k.value == value) return k;
            }
        }
        qFatal("no knob");
    }
    // A wheel turn of `eighths` (120 a notch) over panel point (x, y).
    void wheel(int x, int y, int eighths, Qt::KeyboardModifiers keys = {}) {
        const QPointF at(x, y - window->toolbarHeight());
        QWheelEvent event(at, window->panel()->mapToGlobal(at), QPoint(), QPoint(0, eighths), Qt::NoButton, keys,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(window->panel(), &event);
    }

private slots:
    void init() {
        prepareFolderAndState("loudara_details_");
        createWindow();
        window->confirm = true;
        window->realFileDialogs = true;
        QVERIFY(exposeWindow());
    }
    void cleanup() { closeWindow(); }

    void presetNamesWithFullWidthBracketsRender() {
        QList<QAction*> actions;
        for (QAction* top : window->menuBar()->actions()) allActions(top->menu(), actions);
        int checked = 0;
        for (QAction* action : actions) {
            if (!action->text().contains(QChar(0xFF08))) continue;
            QVERIFY2(everyCharacterHasAGlyph(action->text(), action->font()), qPrintable(action->text()));
            ++checked;
        }
        QCOMPARE(checked, 6);  // the texts themselves are unchanged
    }

    void wheelStepsAKnobAsItsArrowsDo() {
        Processor& p = *processor;
        Knob& drive = knobOf(&p.bands[2].driveDb);
        const double start = p.bands[2].driveDb;
        wheel(drive.x + 50, drive.y + 6, 120);  // over the label
        QCOMPARE(p.bands[2].driveDb, start + 0.1);
        wheel(drive.x + 35, drive.y + 6, -360);  // three notches down, over the down arrow
        QCOMPARE(p.bands[2].driveDb, start - 0.2);
        wheel(drive.x + 50, drive.y + 6, 60);  // half a notch (a touchpad) does nothing yet...
        QCOMPARE(p.bands[2].driveDb, start - 0.2);
        wheel(drive.x + 50, drive.y + 6, 60);  // ...the second half steps
        QCOMPARE(p.bands[2].driveDb, start - 0.1);
        wheel(drive.x + 50, drive.y + 6, 120, Qt::ShiftModifier);  // Shift: ten steps, as a click
        QCOMPARE(p.bands[2].driveDb, start + 0.9);
        QCOMPARE(drive.pressed, int(kNotPressed));  // no arrow stays drawn pressed

        // A knob whose change needs a recomputation gets it: the bass EQ is designed again.
        Knob& gain = knobOf(&p.settings.bassEqGainDb);
        const double before = p.settings.bassEqGainDb;
        auto designed = std::make_unique<Processor>(p);
        wheel(gain.x + 50, gain.y + 6, 120);
        QCOMPARE(p.settings.bassEqGainDb, before + 0.5);
        designed->settings.bassEqGainDb = before + 0.5;
        designBassEq(*designed);
        QVERIFY(std::memcmp(&designed->bassEq, &p.bassEq, sizeof p.bassEq) == 0);

        // Away from every knob nothing changes.
        const auto untouched = std::make_unique<Processor>(p);
        wheel(740, 60, 120);
        QVERIFY(std::memcmp(&untouched->bands, &p.bands, sizeof p.bands) == 0);
        QVERIFY(std::memcmp(&untouched->params, &p.params, sizeof p.params) == 0);
    }

    void knobToolTipsNameTheParameterAndItsUnit() {
        Processor& p = *processor;
        const Knob& drive = knobOf(&p.bands[2].driveDb);
        const QPointF at(drive.x + 50, drive.y + 6 - window->toolbarHeight());
        QHelpEvent help(QEvent::ToolTip, at.toPoint(), window->panel()->mapToGlobal(at.toPoint()));
        QApplication::sendEvent(window->panel(), &help);
        QCOMPARE(QToolTip::text(), QString("Drive, band 3 (dB) - driveDb[2]"));
        const Knob& spacing = knobOf(&p.settings.speakerSpacingCm);
        QCOMPARE(window->panelToolTip(spacing.x + 75, spacing.y + 2), QString("Virtual speaker spacing (cm) - speakerSpacingCm"));
        const Knob& release = knobOf(&p.params.bandReleaseTime);
        QCOMPARE(window->panelToolTip(release.x + 31, release.y + 12), QString("Band release time - bandReleaseTime"));
        QCOMPARE(window->panelToolTip(5, 100), QString());
        // Every knob has a tip.
        for (const Knob& k : window->knobs().singles) QVERIFY(!window->panelToolTip(k.x + 50, k.y + 6).isEmpty());
    }

    void filesThatCannotBeAddedAreCountedInTheStatusBar() {
        test::writePcmWav(folder / "good.wav", std::vector<int16_t>(2 * 4410, 0), 2, 44100);
        test::writePcmWav(folder / "hires.wav", std::vector<int16_t>(2 * 4410, 0), 2, 96000);
        {
            FileHandle out = OpenFile((folder / "deep.wav").c_str(), "wb");
            QVERIFY(WriteWavHeader(out.get(), 3 * 2 * 100, 44100, 2, 24));
            const std::vector<char> zeros(600, 0);
            std::fwrite(zeros.data(), 1, zeros.size(), out.get());
        }
        test::writePcmWav(folder / "song.flac", std::vector<int16_t>(100, 0), 2, 44100);
        test::writePcmWav(folder / "song.au", std::vector<int16_t>(100, 0), 2, 44100);
        {
            FileHandle out = OpenFile((folder / "broken.wav").c_str(), "wb");
            const std::vector<char> zeros(60, 0);
            std::fwrite(zeros.data(), 1, zeros.size(), out.get());
        }
        // The 96 kHz and 24-bit WAV files and the file named .flac (read by what it holds) enter
        // as sound files.
        window->dispatcher().drop({(folder / "good.wav").string(), (folder / "hires.wav").string(),
                                   (folder / "deep.wav").string(), (folder / "song.flac").string(),
                                   (folder / "broken.wav").string(), (folder / "song.au").string()});
        QCOMPARE(state->playlist.songCount, 4);
        for (int i = 1; i < 4; ++i) QCOMPARE(state->playlist.songs[i].kind, SongKind::SoundFile);
        QCOMPARE(window->statusBar()->currentMessage(),
                 QString("2 files not added: 1 not named as a sound file, 1 unreadable, damaged, or more than two channels"));
        // A drop where everything is added leaves no notice behind.
        window->statusBar()->clearMessage();
        window->dispatcher().drop({(folder / "good.wav").string()});
        QCOMPARE(window->statusBar()->currentMessage(), QString());
    }

    void toolbarImagesAreDrawnForADisplayScaleOfTwo() {
        const QList<QToolButton*> buttons = window->findChild<QToolBar*>()->findChildren<QToolButton*>();
        int checked = 0;
        for (QToolButton* button : buttons) {
            const QIcon icon = button->defaultAction() ? button->defaultAction()->icon() : QIcon();
            if (icon.isNull()) continue;
            const QPixmap sharp = icon.pixmap(QSize(16, 16), 2.0);
            QCOMPARE(sharp.size(), QSize(32, 32));
            QCOMPARE(sharp.devicePixelRatio(), 2.0);
            // Not the 16-pixel picture blown up: drawn again at 32 pixels.
            const QImage blownUp = icon.pixmap(QSize(16, 16), 1.0).toImage().scaled(32, 32).convertToFormat(QImage::Format_ARGB32);
            QVERIFY(sharp.toImage().convertToFormat(QImage::Format_ARGB32) != blownUp);
            ++checked;
        }
        QCOMPARE(checked, 12);
    }

    void fileDialogsOpenWithTheirNameField() {
        QString nameField = "(no dialog)";
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            const auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
            nameField = edit ? edit->text() : "(no name field)";
            dialog->reject();
        });
        window->dispatcher().dispatch(cmd::OpenParameterFile);
        QCOMPARE(nameField, QString("*.ld3"));
    }
};

QTEST_MAIN(WindowDetailsTest)
#include "window_details_test.moc"

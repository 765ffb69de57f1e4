// loudara: the program's window. The core comes up first, then the window and its sound devices;
// after the event loop the stream ends, then the core goes down before the skin is freed.

#include <QApplication>
#include <QFont>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_state.h"
#include "audio/sound_platform.h"
#include "persistence/playlist.h"
#include "ui/main_window.h"
#include "ui/stream_adapter.h"
#include "ui/window_dialogs.h"

namespace {

// Messages of the core start-up, before the window exists.
class StartupHost : public loudara::Host {
public:
    void showMessage(const std::string& text, const std::string& caption, loudara::MessageIcon icon) override {
        loudara::ShowMessageBox(nullptr, text, caption, icon);
    }
    void beep() override { QApplication::beep(); }
};

}  // namespace

int main(int argc, char** argv) {
    // What needs no window is answered before Qt looks for a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs("Usage: loudara [FILE...]\n\nThe window of Loudara, the broadcast sound processor. Songs (WAV, MP3, FLAC,\n"
                       "Ogg, AIFF, W64, RF64), folders of songs and playlists (.plt) named here are\n"
                       "added to the playlist.\n\n  --help     this text\n  --version  the version\n\n"
                       "Without a display, loudara-cli does the same work from the command line.\n",
                       stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("loudara %s\n", LOUDARA_VERSION);
            return 0;
        }
    }
    auto set = [](const char* name) { return std::getenv(name) != nullptr && std::getenv(name)[0] != '\0'; };
    if (!set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
        std::fputs("loudara: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                   "loudara-cli works without one\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Loudara");
    // The desktop entry this window belongs to (its icon and name in docks and task switchers).
    QGuiApplication::setDesktopFileName("org.loudara.Loudara");
    QFont font = QApplication::font();
    font.setPixelSize(12);
    QApplication::setFont(font);

    loudara::AppState& state = loudara::theAppState();
    loudara::Processor& processor = loudara::theProcessor();
    StartupHost startupHost;
    loudara::StartCore(state, processor, startupHost);
    state.playlist.probeMp3 = loudara::programMp3Probe();

    int code = 0;
    {
        auto window = std::make_unique<loudara::MainWindow>(state, processor);
        window->dialogs().showSplash();
        loudara::SoundPlatform platform;
        loudara::StreamAdapter streams(*window, state, processor, platform, loudara::PlaybackMp3Decoder());
        streams.start();
        window->dialogs().setDeviceEngine(&streams.engine());
        // The files named on the command line (Qt's own options already taken out).
        std::vector<std::string> named;
        const QStringList arguments = QApplication::arguments();
        for (qsizetype i = 1; i < arguments.size(); ++i) named.push_back(arguments[i].toStdString());
        if (!named.empty()) window->dispatcher().addNamedFiles(named);
        window->show();
        window->activateWindow();
        code = QApplication::exec();
        // The window has stopped a song that was playing; the devices close before the settings
        // are saved.
        streams.close();
        std::string error;
        loudara::ShutdownCore(state, processor, error);
    }
    return code;
}

// loudara: the program's window. The core comes up first, then the window and its sound devices;
// after the event loop the stream ends, then the core goes down before the skin is freed.

#include <QApplication>
#include <QFont>
#include <memory>

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

#pragma once
// The sound layer inside the window: the stream session (app/stream_transport.h) with the
// window as its host and view, the device notices brought onto the UI thread by a socket
// notifier on the notice channel's descriptor, the panel's time display and the seek buttons.
//
// Life: made after the window (whose creation has shown the splash), start() lists the devices
// and arms timer 3; the window's closing stops a song that is Playing; close() ends a draining
// stream before the core shuts down; destroyed before the window.

#include <QSocketNotifier>
#include <QTimer>
#include <memory>

#include "app/stream_transport.h"
#include "ui/main_window.h"

namespace loudara {

// The window as the stream sees it: the host's repaints, rows and lock, plus the transport
// buttons of the panel.
class WindowStreamView : public HostStreamView {
public:
    explicit WindowStreamView(MainWindow& window) : HostStreamView(window), window_(window) {}
    void clearTransportButtons() override;
    // The mouse cursor lies strictly inside transport button `button` of the panel.
    bool cursorOverTransportButton(int button) override;

private:
    MainWindow& window_;
};

class StreamAdapter {
public:
    StreamAdapter(MainWindow& window, AppState& state, Processor& processor, WavePlatform& platform, Mp3Decoder& mp3);
    ~StreamAdapter();
    StreamAdapter(const StreamAdapter&) = delete;
    StreamAdapter& operator=(const StreamAdapter&) = delete;

    // Window creation: device start-up (with its two messages), the transport handed to the
    // window (Play, Stop and ON-AIR enabled), the time display, and timer 3 when
    // startOnAirAtBoot is set.
    void start();
    // After the window has closed: whatever still streams stops and the devices close.
    void close();

    Streaming& streaming() { return session_.streaming(); }
    DeviceEngine& engine() { return session_.engine(); }
    StreamTransport& transport() { return session_.transport(); }
    WindowStreamView& view() { return view_; }

private:
    // How often the notices are looked at when the channel has no descriptor to watch.
    static constexpr int kNoticePollMs = 5;

    void dispatchNotices();

    MainWindow& window_;
    WindowStreamView view_;
    StreamSession session_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> poll_;
};

}  // namespace loudara

#include "ui/stream_adapter.h"

#include <QCursor>

namespace loudara {

void WindowStreamView::clearTransportButtons() {
    for (PanelButton& b : window_.panelButtons().transports) b.pressed = false;
}

bool WindowStreamView::cursorOverTransportButton(int button) {
    if (button < 0 || button >= kTransportButtons) return false;
    // The panel widget starts below the toolbar; the buttons are placed in client coordinates.
    const QPoint at = window_.panel()->mapFromGlobal(QCursor::pos());
    return StrictlyInside(window_.panelButtons().transports[button], at.x(), at.y() + window_.toolbarHeight());
}

StreamAdapter::StreamAdapter(MainWindow& window, AppState& state, Processor& processor, WavePlatform& platform,
                             Mp3Decoder& mp3)
    : window_(window), view_(window), session_(state, processor, platform, window, view_, mp3) {
    const int fd = session_.engine().notices.wakeFd();
    if (fd >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { dispatchNotices(); });
    } else {
        poll_ = std::make_unique<QTimer>();
        QObject::connect(poll_.get(), &QTimer::timeout, [this] { dispatchNotices(); });
        poll_->start(kNoticePollMs);
    }
}

StreamAdapter::~StreamAdapter() {
    notifier_.reset();
    poll_.reset();
    close();
    window_.setTimeTextSource(nullptr);
    window_.setOnAirFiguresSource(nullptr);
    window_.setParametersChangedHook(nullptr);
    window_.setTransport(nullptr);
    window_.setStreamLoudness(nullptr);
}

void StreamAdapter::start() {
    session_.start();
    Streaming& s = session_.streaming();
    window_.setTimeTextSource([&s] { return QString::fromStdString(FormatPlayTime(s)); });
    window_.setOnAirFiguresSource([&s] { return QString::fromStdString(OnAirFiguresText(s)); });
    window_.setParametersChangedHook([&s] { PublishParameters(s); });
    window_.setTransport(&session_.transport());
    window_.setStreamLoudness(&session_.engine().loudness);
}

void StreamAdapter::close() { session_.close(); }

void StreamAdapter::dispatchNotices() { DispatchDeviceNotices(session_.streaming()); }

}  // namespace loudara

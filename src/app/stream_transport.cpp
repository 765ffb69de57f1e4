#include "app/stream_transport.h"

#include <chrono>
#include <thread>

namespace loudara {

void HostTimerLoop::sleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void StreamTransport::startPlayback(int song) {
    s_.playlist.currentSong = song;
    lastStart_ = StartPlayback(s_);
}

void StreamTransport::streamTimer(int timerId) {
    OnStreamTimer(s_, timerId, &lastStart_);
    // Timer 3 has put the ON-AIR entry in the list; a start that failed did not show it.
    if (timerId == kOnAirBootTimer) s_.view.refreshSongList();
}

StreamSession::StreamSession(AppState& app, Processor& processor, WavePlatform& platform, CommandHost& host,
                             StreamView& view, Mp3Decoder& mp3)
    : engine_(std::make_unique<DeviceEngine>(platform)),
      loop_(host),
      streaming_{app, app.playlist, app.stored, processor, *engine_, loop_, view, host, mp3},
      transport_(streaming_) {}

StreamSession::~StreamSession() { close(); }

void StreamSession::start() {
    StartDeviceEngine(*engine_, streaming_.devices, streaming_.host);
    ArmOnAirAtBoot(streaming_);
}

void StreamSession::close() {
    if (streaming_.transport.playState != PlayState::Stopped) StopPlayback(streaming_);
    CloseDevices(*engine_);
}

}  // namespace loudara

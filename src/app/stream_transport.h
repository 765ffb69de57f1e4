#pragma once
// The window's stream: the streaming logic (audio/streaming.h) joined to the command dispatcher.
// Qt-free, so the joining itself is tested without a window; the Qt side (ui/stream_adapter.h)
// adds the descriptor watch that brings the device notices onto the UI thread and the panel's
// transport buttons.
//
// Timers 1 (the next song) and 3 (ON-AIR at start-up) are the window's timers: the streaming
// logic starts and stops them through the dispatcher's host, their expiry reaches
// CommandDispatcher::timer, and that hands them to OnStreamTimer through the transport. So each
// expiry runs once, on the window's loop.

#include <memory>

#include "app/command_dispatch.h"
#include "audio/device_engine.h"
#include "audio/streaming.h"

namespace loudara {

// The streaming logic's EventLoop over the window's timers.
class HostTimerLoop : public EventLoop {
public:
    explicit HostTimerLoop(CommandHost& host) : host_(host) {}
    void startTimer(int id, int milliseconds) override { host_.startTimer(id, milliseconds); }
    void stopTimer(int id) override { host_.stopTimer(id); }
    void sleepMs(int milliseconds) override;

private:
    CommandHost& host_;
};

// The stream's view of the window through the dispatcher's host: repaints, the playlist rows and
// the ON-AIR lock. The window adds the transport buttons (ui/stream_adapter.h).
class HostStreamView : public StreamView {
public:
    explicit HostStreamView(CommandHost& host) : host_(host) {}
    void repaintPanel() override { host_.repaintPanel(); }
    void refreshSongList() override { host_.refreshSongList(); }
    void setOnAirLock(bool locked) override { host_.setOnAirLock(locked); }

private:
    CommandHost& host_;
};

// The dispatcher's Transport over one Streaming.
class StreamTransport : public Transport {
public:
    explicit StreamTransport(Streaming& s) : s_(s) {}
    // currentSong = song, then StartPlayback (which does nothing unless Stopped).
    void startPlayback(int song) override;
    void stopPlayback() override { StopPlayback(s_); }
    void streamTimer(int timerId) override;
    uint32_t streamRate() const override {
        return s_.transport.playState == PlayState::Stopped ? 0 : s_.engine.sampleRate;
    }
    // What the last start (by a command or a timer) gave.
    StartResult lastStart() const { return lastStart_; }

private:
    Streaming& s_;
    StartResult lastStart_ = StartResult::NotStopped;
};

// Everything the window's stream is made of: the device engine (on the heap, it is large), the
// timer loop, the Streaming record and its transport.
class StreamSession {
public:
    StreamSession(AppState& app, Processor& processor, WavePlatform& platform, CommandHost& host, StreamView& view,
                  Mp3Decoder& mp3);
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // Window creation: the device engine starts at 44100 Hz and lists the devices (with the
    // messages for an empty list, output first; the program runs on either way), then, when
    // startOnAirAtBoot is set, timer 3 is started.
    void start();
    // Closing, after the window stopped a song that was Playing: a stream still draining ends
    // now too, so that no device is open when the core shuts down.
    void close();

    Streaming& streaming() { return streaming_; }
    DeviceEngine& engine() { return *engine_; }
    StreamTransport& transport() { return transport_; }

private:
    std::unique_ptr<DeviceEngine> engine_;
    HostTimerLoop loop_;
    Streaming streaming_;
    StreamTransport transport_;
};

}  // namespace loudara

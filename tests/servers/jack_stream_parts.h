#pragma once
// The parts of a stream on Loudara's JACK client against a JACK server of the test's own (dummy
// driver), for the client's tests and the chain-in-the-period tests alike: the server, the
// program's processor at preset 232, the JACK platform, the device engine and the streaming
// record over them. A fixture derives from it beside its ::testing::Test base.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/app_state.h"
#include "audio/jack_device.h"
#include "audio/poll_event_loop.h"
#include "audio/streaming.h"
#include "processor/processor.h"
#include "recording_host.h"
#include "servers/test_servers.h"

namespace loudara::test {

class JackStreamParts {
protected:
    std::unique_ptr<DummyJackServer> server;
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = std::make_unique<Processor>();
    std::unique_ptr<JackPlatform> platform;
    std::unique_ptr<DeviceEngine> engine;
    PollEventLoop loop;
    StreamView view;
    RecordingHost host;
    std::unique_ptr<Streaming> s;

    // A server at `rate` with periods of `periodFrames` and everything over it; the caller goes
    // on only when this left no fatal failure and did not skip (no jackd installed).
    void startJackStream(int rate, int periodFrames, JackOptions options) {
        server = std::make_unique<DummyJackServer>(rate, std::string(), periodFrames);
        if (!server->installed()) GTEST_SKIP() << "SKIP: " << server->why();
        ASSERT_TRUE(server->running()) << server->why();
        resetProcessor(*p);
        selectPresetById(*p, 232);
        initVirtualSpeaker(*p);
        platform = std::make_unique<JackPlatform>(std::move(options));
        ASSERT_TRUE(platform->serverFound());
        engine = std::make_unique<DeviceEngine>(*platform);
        s = std::make_unique<Streaming>(
            Streaming{*app, app->playlist, app->stored, *p, *engine, loop, view, host, PlaybackMp3Decoder()});
        StartDeviceEngine(*engine, app->stored, host);
    }
    // Stops what plays; our client leaves before the server goes.
    void stopJackStream() {
        if (s && app->playState != PlayState::Stopped) StopPlayback(*s);
        s.reset();
        engine.reset();
        platform.reset();
        server.reset();
    }
};

}  // namespace loudara::test

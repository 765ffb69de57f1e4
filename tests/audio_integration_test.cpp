// The whole road through a real PortAudio stream with no hardware: a JACK server of our own on
// its dummy driver (real-time paced), a song played from StartPlayback to Stopped with every
// frame reaching the device, and ON-AIR running and stopping cleanly. Skipped, saying so, only
// where jackd cannot start.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "audio/poll_event_loop.h"
#include "audio/portaudio_device.h"
#include "audio/streaming.h"
#include "recording_host.h"
#include "servers/test_servers.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::Clock;

using test::DummyJackServer;

class JackStream : public TempFolder {
protected:
    std::unique_ptr<DummyJackServer> server;
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = std::make_unique<Processor>();
    std::unique_ptr<PortAudioPlatform> platform;
    std::unique_ptr<DeviceEngine> engine;
    PollEventLoop loop;
    StreamView view;
    RecordingHost host;
    std::unique_ptr<Streaming> s;

    void SetUp() override {
        TempFolder::SetUp();
        server = std::make_unique<DummyJackServer>();
        if (!server->running()) GTEST_SKIP() << "no JACK server for this test: " << server->why();
        resetProcessor(*p);
        selectPresetById(*p, 232);
        initVirtualSpeaker(*p);
        platform = std::make_unique<PortAudioPlatform>();
        ASSERT_TRUE(platform->initialized()) << platform->initError();
        engine = std::make_unique<DeviceEngine>(*platform);
        s = std::make_unique<Streaming>(Streaming{*app, app->playlist, app->stored, *p, *engine, loop, view, host, PlaybackMp3Decoder()});
        StartDeviceEngine(*engine, app->stored, host);
        // The JACK server's ports appear as the device "system" in both directions.
        app->stored.selectedOutputDevice = findSystem(engine->outputDevices, engine->outputCount);
        app->stored.selectedInputDevice = findSystem(engine->inputDevices, engine->inputCount);
    }

    void TearDown() override {
        s.reset();
        engine.reset();
        platform.reset();  // PortAudio leaves the server before the server goes
        server.reset();
        TempFolder::TearDown();
    }

    static uint16_t findSystem(const DeviceEntry* entries, int count) {
        for (int i = 0; i < count; ++i) {
            if (std::strcmp(entries[i].name, "system") == 0) return static_cast<uint16_t>(i);
        }
        ADD_FAILURE() << "the JACK server's device is not listed";
        return 0;
    }

    // Runs the loop until the stream stops or `seconds` pass; whether it stopped.
    bool runUntilStopped(double seconds) {
        const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(seconds));
        while (app->playState != PlayState::Stopped && Clock::now() < deadline) loop.runOnce(*s, 50);
        return app->playState == PlayState::Stopped;
    }
};

TEST_F(JackStream, ThreeSecondSongPlaysEveryFrameFromStartToStopped) {
    constexpr int kFrames = 3 * 44100;
    std::vector<int16_t> samples(2 * kFrames);
    for (int i = 0; i < kFrames; ++i) samples[2 * i] = samples[2 * i + 1] = static_cast<int16_t>((i * 37) % 20000);
    SongRecord& song = app->playlist.songs[0];
    const std::string path = write("three.wav", pcmWave(samples, 2, 44100));
    ASSERT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
    std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
    app->playlist.songCount = 1;

    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    EXPECT_EQ(app->playState, PlayState::Playing);
    const Clock::time_point start = Clock::now();
    bool drained = false;
    while (app->playState != PlayState::Stopped && Clock::now() - start < std::chrono::seconds(20)) {
        loop.runOnce(*s, 50);
        drained = drained || app->playState == PlayState::Draining;
    }
    ASSERT_EQ(app->playState, PlayState::Stopped);
    EXPECT_TRUE(drained);
    EXPECT_EQ(engine->closedOutputCounters.bytesPlayed, 4u * kFrames);
    EXPECT_FALSE(engine->output || engine->allocatedBlocks != 0);
    EXPECT_TRUE(host.messages.empty());
    std::printf("song: %.2f s from start to stop, %llu underflows while playing\n",
                std::chrono::duration<double>(Clock::now() - start).count(),
                static_cast<unsigned long long>(engine->outputCountersAtDrain.underflows));
}

TEST_F(JackStream, OnAirRunsForTwoSecondsAndStopsCleanly) {
    app->stored.onAirRateChoice = 1;
    ASSERT_TRUE(ToggleOnAirMode(*s));
    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    ASSERT_TRUE(engine->input && engine->output);
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(2)) loop.runOnce(*s, 50);
    EXPECT_EQ(app->playState, PlayState::Playing);
    ASSERT_TRUE(StopCommand(*s));
    ASSERT_TRUE(runUntilStopped(10));
    EXPECT_FALSE(engine->input || engine->output);
    EXPECT_EQ(engine->allocatedBlocks, 0);
    // Two seconds of 44100 Hz stereo went both ways (with the queue's head start on the output).
    EXPECT_GT(engine->closedInputCounters.bytesCaptured, 4u * 44100);
    EXPECT_GT(engine->closedOutputCounters.bytesPlayed, 4u * 44100);
    EXPECT_TRUE(host.messages.empty());
    std::printf("ON-AIR: %llu bytes captured, %llu played, %llu underflows, %llu overflows\n",
                static_cast<unsigned long long>(engine->closedInputCounters.bytesCaptured),
                static_cast<unsigned long long>(engine->closedOutputCounters.bytesPlayed),
                static_cast<unsigned long long>(engine->outputCountersAtDrain.underflows),
                static_cast<unsigned long long>(engine->closedInputCounters.overflows));
}

}  // namespace
}  // namespace loudara

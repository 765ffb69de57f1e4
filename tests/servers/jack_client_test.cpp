// Loudara's own JACK client against a JACK server the test runs (dummy driver): the client and
// its ports under the names asked, the connections asked and no others, a song played to its end
// with every frame and the chain's delay after it (resampled to the server's rate when it runs at
// another), ON-AIR at the
// server's rate, and a server at a rate the processor does not
// run at refused with a message that names it.

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "app/app_state.h"
#include "audio/jack_device.h"
#include "audio/poll_event_loop.h"
#include "audio/streaming.h"
#include "files/wav_file.h"
#include "recording_host.h"
#include "servers/jack_stream_parts.h"
#include "servers/test_servers.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::Clock;
using test::DummyJackServer;

// A client of the test's own that looks at the graph.
class GraphView {
public:
    GraphView() {
        jack_status_t status{};
        client_ = jack_client_open("loudara_test_view", JackNoStartServer, &status);
    }
    ~GraphView() {
        if (client_) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }

    std::set<std::string> ports(const std::string& client) const {
        std::set<std::string> names;
        const char** found = jack_get_ports(client_, ("^" + client + ":").c_str(), nullptr, 0);
        for (int i = 0; found && found[i]; ++i) names.insert(found[i]);
        if (found) jack_free(found);
        return names;
    }
    // Every connection of the client's ports, as "from>to".
    std::set<std::string> connections(const std::string& client) const {
        std::set<std::string> pairs;
        for (const std::string& name : ports(client)) {
            jack_port_t* port = jack_port_by_name(client_, name.c_str());
            const bool output = (jack_port_flags(port) & JackPortIsOutput) != 0;
            const char** peers = jack_port_get_all_connections(client_, port);
            for (int i = 0; peers && peers[i]; ++i) pairs.insert(output ? name + ">" + peers[i] : peers[i] + (">" + name));
            if (peers) jack_free(peers);
        }
        return pairs;
    }

private:
    jack_client_t* client_ = nullptr;
};

class JackClient : public TempFolder, protected test::JackStreamParts {
protected:
    // The playlist's only song: `frames` frames of a 16-bit stereo ramp at 44.1 kHz.
    void listWavSong(int frames) {
        std::vector<int16_t> samples(2 * static_cast<std::size_t>(frames));
        for (int i = 0; i < frames; ++i) samples[2 * i] = samples[2 * i + 1] = static_cast<int16_t>((i * 37) % 20000);
        SongRecord& song = app->playlist.songs[0];
        const std::string path = write("song.wav", pcmWave(samples, 2, 44100));
        ASSERT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
        app->playlist.songCount = 1;
    }

    // A test goes on only when this returned true: its server and stream are ready.
    [[nodiscard]] bool ready(int rate, JackOptions options) {
        startServer(rate, std::move(options));
        return !HasFatalFailure() && !IsSkipped();
    }
    void startServer(int rate, JackOptions options) {
        startJackStream(rate, 1024, std::move(options));
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_EQ(engine->outputCount, 1);
        ASSERT_EQ(engine->inputCount, 1);
    }

    void TearDown() override {
        stopJackStream();
        TempFolder::TearDown();
    }

    bool runUntilStopped(double seconds) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (app->playState != PlayState::Stopped && Clock::now() < deadline) loop.runOnce(*s, 50);
        return app->playState == PlayState::Stopped;
    }
};

TEST_F(JackClient, OnAirMakesTheNamedClientWithFourPortsAndOnlyTheAskedConnections) {
    JackOptions options;
    options.clientName = "station_a";
    options.connectInputs = {"system:capture_2", "system:capture_1"};
    options.connectOutputs = {"system:playback_2"};
    if (!ready(48000, options)) return;
    EXPECT_STREQ(engine->outputDevices[0].name, "JACK (station_a)");
    app->stored.onAirRateChoice = 2;
    ASSERT_TRUE(ToggleOnAirMode(*s));
    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    GraphView graph;
    ASSERT_TRUE(graph.ok());
    EXPECT_EQ(graph.ports("station_a"),
              (std::set<std::string>{"station_a:in_1", "station_a:in_2", "station_a:out_1", "station_a:out_2"}));
    EXPECT_EQ(graph.connections("station_a"),
              (std::set<std::string>{"system:capture_2>station_a:in_1", "system:capture_1>station_a:in_2",
                                     "station_a:out_1>system:playback_2"}));

    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(2)) loop.runOnce(*s, 50);
    EXPECT_EQ(app->playState, PlayState::Playing);
    ASSERT_TRUE(engine->realtime);
    EXPECT_GT(engine->realtime->framesProcessed(), 2u * 44100);
    ASSERT_TRUE(StopCommand(*s));
    ASSERT_TRUE(runUntilStopped(10));
    // Two seconds of 48 kHz stereo went through the chain in the JACK period (the input's blocks
    // stay unused, the output's keep time); the client leaves with the stream.
    EXPECT_EQ(engine->closedInputCounters.bytesCaptured, 0u);
    EXPECT_GT(engine->closedOutputCounters.bytesPlayed, 4u * 2 * 44100);
    EXPECT_EQ(engine->closedOutputCounters.underflows, engine->outputCountersAtDrain.underflows);
    EXPECT_TRUE(graph.ports("station_a").empty());
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(JackClient, SongPlaysEveryFrameToThePhysicalPortsAndNothingElse) {
    if (!ready(44100, JackOptions{})) return;
    constexpr int kFrames = 3 * 44100 + 1234;
    listWavSong(kFrames);
    if (HasFatalFailure()) return;

    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    GraphView graph;
    EXPECT_EQ(graph.connections("loudara"),
              (std::set<std::string>{"loudara:out_1>system:playback_1", "loudara:out_2>system:playback_2"}));
    ASSERT_TRUE(runUntilStopped(20));
    // Every frame, then the chain's delay run out: the song plays in the JACK period.
    EXPECT_EQ(engine->closedOutputCounters.bytesPlayed, 4u * (kFrames + chainLatencyFrames(*p)));
    EXPECT_EQ(engine->allocatedBlocks, 0);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(JackClient, SongAt44100OnAServerAt48000IsResampledAndPlaysEveryFrame) {
    if (!ready(48000, JackOptions{})) return;
    constexpr int kFrames = 2 * 44100 + 777;
    listWavSong(kFrames);
    if (HasFatalFailure()) return;

    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    EXPECT_EQ(engine->sampleRate, 48000u);
    ASSERT_TRUE(runUntilStopped(20));
    EXPECT_TRUE(host.messages.empty());
    // As long in time as the song: every frame, resampled to the server's rate.
    EXPECT_EQ(engine->closedOutputCounters.bytesPlayed,
              4u * static_cast<uint64_t>(std::llround(kFrames * 48000.0 / 44100) + chainLatencyFrames(*p)));
}

// loudara-cli play on a server at 48 kHz: a 24-bit WAV song and a 16-bit one, both at 44.1 kHz,
// play to their end (before, the 16-bit one was refused for its rate and the 24-bit one not taken).
TEST_F(JackClient, CliPlaysA24BitSongAndA44100SongOnAServerAt48000) {
    startServer(48000, JackOptions{});
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string deep = (folder / "deep.wav").string();
    {
        FileHandle out = OpenFile(deep.c_str(), "wb");
        ASSERT_TRUE(WriteWavHeader(out.get(), 3 * 2 * 44100, 44100, 2, 24));
        std::vector<uint8_t> samples(3 * 2 * 44100);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 7);
        ASSERT_EQ(std::fwrite(samples.data(), 1, samples.size(), out.get()), samples.size());
    }
    const std::string plain = write("plain.wav", pcmWave(std::vector<int16_t>(2 * 22050, 1000), 2, 44100));
    const std::string errors = (folder / "play.err").string();
    test::Child play({LOUDARA_CLI, "play", deep, plain, "--output", "jack"}, "/dev/null", errors);
    EXPECT_EQ(play.wait(30), 0) << test::readText(errors);
    EXPECT_EQ(test::readText(errors).find("cannot"), std::string::npos) << test::readText(errors);
    // Into a file, one line per song and no progress line.
    EXPECT_EQ(test::readText(errors), "loudara-cli play: [1/2] deep.wav\nloudara-cli play: [2/2] plain.wav\n");
}

TEST_F(JackClient, OnAirChosenAtAnotherRateThanTheServersRunsAtTheServers) {
    if (!ready(32000, JackOptions{})) return;
    app->stored.onAirRateChoice = 1;
    ASSERT_TRUE(ToggleOnAirMode(*s));
    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(engine->sampleRate, 32000u);
    EXPECT_EQ(app->playlist.songs[0].sampleRate, 32000u) << "the ON-AIR entry shows the rate it runs at";
    EXPECT_EQ(p->streamRate, 32000);
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(300)) loop.runOnce(*s, 50);
    EXPECT_GT(engine->output->counters().bytesPlayed, 0u);
    StopPlayback(*s);
    EXPECT_EQ(app->stored.onAirRateChoice, 1) << "the choice itself stays";
}

TEST_F(JackClient, ServerGoingAwayLeavesAStreamThatStillStopsAndCloses) {
    if (!ready(44100, JackOptions{})) return;
    app->stored.onAirRateChoice = 1;
    ASSERT_TRUE(ToggleOnAirMode(*s));
    ASSERT_EQ(StartPlayback(*s), StartResult::Started);
    const Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(500)) loop.runOnce(*s, 50);
    server->stop();
    ASSERT_TRUE(test::waitFor(10, [&] { return platform->serverGone(); }));
    // The blocks go on coming back (as silence), so Stop drains and closes as always.
    const uint64_t before = engine->output->counters().bytesPlayed;
    const Clock::time_point gone = Clock::now();
    while (Clock::now() - gone < std::chrono::milliseconds(500)) loop.runOnce(*s, 50);
    EXPECT_GT(engine->output->counters().bytesPlayed, before);
    ASSERT_TRUE(StopCommand(*s));
    ASSERT_TRUE(runUntilStopped(10));
    EXPECT_FALSE(platform->clientOpen());
}

TEST_F(JackClient, ServerAt96000IsRefusedWithItsRate) {
    if (!ready(96000, JackOptions{})) return;
    ASSERT_EQ(platform->serverRate(), 96000u);
    app->stored.onAirRateChoice = 2;
    ASSERT_TRUE(ToggleOnAirMode(*s));
    EXPECT_EQ(StartPlayback(*s), StartResult::DevicesNotOpened);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "The JACK server runs at 96000 Hz; Loudara runs at 32000, 44100 or 48000 Hz only.");
    GraphView graph;
    EXPECT_TRUE(graph.ports("loudara").empty());
}

}  // namespace
}  // namespace loudara

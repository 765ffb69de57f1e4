// The whole road through a real PortAudio stream with no hardware: a JACK server of our own on
// its dummy driver (real-time paced), a song played from StartPlayback to Stopped with every
// frame reaching the device, and ON-AIR running and stopping cleanly. Skipped, saying so, only
// where jackd cannot start.

#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "audio/poll_event_loop.h"
#include "audio/portaudio_device.h"
#include "audio/streaming.h"
#include "wav_builder.h"

extern char** environ;

namespace loudara {
namespace {

using Clock = std::chrono::steady_clock;

// Runs a program to its end; its exit status, or -1 when it could not start.
int runProgram(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A JACK server on the dummy driver at 44100 Hz, named for this process so that it meets no
// other server; stopped (and waited for) when the object goes.
class DummyJackServer {
public:
    DummyJackServer() {
        name_ = "loudara_test_" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        std::vector<std::string> args = {"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", "44100", "-p", "1024"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&pid_, "jackd", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            why_ = "jackd could not be run (is the jackd2 package installed?)";
            return;
        }
        if (runProgram({"jack_wait", "-s", name_, "-w", "-t", "10"}) != 0) {
            why_ = "jackd did not come up within 10 seconds";
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why_ = "jackd exited at once";
            return;
        }
        running_ = true;
    }

    ~DummyJackServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    bool running() const { return running_; }
    const std::string& why() const { return why_; }

private:
    std::string name_;
    pid_t pid_ = -1;
    bool running_ = false;
    std::string why_;
};

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
        s = std::make_unique<Streaming>(Streaming{*app, *p, *engine, loop, view, host, PlaybackMp3Decoder()});
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

// The window's stream without a window: the command dispatcher driving the streaming logic
// through StreamTransport over fake devices, the window's timers 1 and 3 running through the
// dispatcher's host, the ON-AIR lock, start-up with and without devices, and the closing order.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "app/stream_transport.h"
#include "fake_wave.h"
#include "recording_host.h"
#include "wav_builder.h"

namespace loudara {
namespace {

using test::FakeWavePlatform;

constexpr int kFramesPerBlock = 4096;

// The window as the dispatcher sees it, with timers that run until stopped.
class WindowHost : public CommandHost {
public:
    void showMessage(const std::string& text, const std::string& caption, MessageIcon icon) override {
        messages.push_back({text, caption, icon});
    }
    void beep() override {}
    bool askConfirmation(const std::string&, const std::string&, ConfirmButtons) override { return true; }
    std::vector<std::string> chooseFiles(const FileDialogRequest&) override { return {}; }
    void repaintPanel() override { ++repaints; }
    void refreshSongList() override { ++refreshes; }
    void setOnAirLock(bool locked) override { locks.push_back(locked); }
    void closeMainWindow() override {}
    bool openDocument(const std::string&) override { return true; }
    void startTimer(int timerId, int periodMs) override {
        timers[timerId] = periodMs;
        starts.push_back({timerId, periodMs});
    }
    void stopTimer(int timerId) override { timers.erase(timerId); }
    bool running(int timerId) const { return timers.count(timerId) != 0; }

    std::vector<RecordingHost::Message> messages;
    std::vector<bool> locks;
    std::map<int, int> timers;
    std::vector<std::pair<int, int>> starts;
    int repaints = 0, refreshes = 0;
};

std::unique_ptr<Processor> firstStartProcessor() {
    auto p = std::make_unique<Processor>();
    applyFirstStart(*p);
    return p;
}

// A stereo song whose left channel counts frames.
std::vector<int16_t> stereoSong(int frames) {
    std::vector<int16_t> s(2 * static_cast<size_t>(frames));
    for (int f = 0; f < frames; ++f) {
        s[2 * f] = static_cast<int16_t>(f % 20000 + 1);
        s[2 * f + 1] = static_cast<int16_t>(-(f % 20000) - 1);
    }
    return s;
}

class WindowStream : public TempFolder {
protected:
    std::unique_ptr<AppState> app = std::make_unique<AppState>();
    std::unique_ptr<Processor> p = firstStartProcessor();
    FakeWavePlatform platform;
    WindowHost host;
    HostStreamView view{host};
    Mp3Decoder mp3;
    std::unique_ptr<StreamSession> session;
    std::unique_ptr<CommandDispatcher> dispatcher;

    void SetUp() override {
        TempFolder::SetUp();
        app->startupFolder = folder.string();
        session = std::make_unique<StreamSession>(*app, *p, platform, host, view, mp3);
        dispatcher = std::make_unique<CommandDispatcher>(*app, *p, host);
        dispatcher->setSettingsFile((folder / "ldrmp3.ini").string());
    }
    void TearDown() override {
        session.reset();
        TempFolder::TearDown();
    }

    // Window creation: the devices are listed and the dispatcher gets its transport.
    void startWindow() {
        session->start();
        dispatcher->setTransport(&session->transport());
    }

    int addWav(const std::string& name, int frames) {
        Playlist& list = app->playlist;
        SongRecord& song = list.songs[list.songCount];
        const std::string path = write(name, pcmWave(stereoSong(frames), 2, 44100));
        EXPECT_EQ(ProbeWavFile(path.c_str(), song), WavProbeResult::Ok);
        song.kind = SongKind::Wav;
        std::snprintf(song.path, sizeof song.path, "%s", path.c_str());
        return list.songCount++;
    }

    // One period of the output (and, in ON-AIR mode, of the input), then the notices.
    void playPeriod() {
        ASSERT_TRUE(platform.output);
        std::vector<uint8_t> buffer(kSoundBlockBytes);
        if (platform.input && session->engine().input) platform.input->capture(buffer.data(), buffer.size());
        platform.output->render(buffer.data(), buffer.size());
        DispatchDeviceNotices(session->streaming());
    }
    void playUntilStopped() {
        for (int i = 0; i < 500 && app->playState != PlayState::Stopped; ++i) playPeriod();
        ASSERT_EQ(app->playState, PlayState::Stopped);
    }

    int queuedOutputBlocks() const {
        int queued = 0;
        const DeviceEngine& e = session->engine();
        for (int i = 0; i < e.allocatedBlocks; ++i) queued += e.outputBlocks[i]->inQueue() ? 1 : 0;
        return queued;
    }
    bool nothingOpen() {
        const DeviceEngine& e = session->engine();
        return !e.output && !e.input && e.allocatedBlocks == 0 && !e.songFile && !e.mp3Open;
    }
};

TEST_F(WindowStream, PlayFromTheDispatcherQueuesTheBlocksOfTheCurrentSong) {
    startWindow();
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.starts.empty());  // no timer 3 without startOnAirAtBoot
    EXPECT_TRUE(dispatcher->available(cmd::Play));
    EXPECT_TRUE(dispatcher->available(cmd::Stop));
    EXPECT_TRUE(dispatcher->available(cmd::OnAir));

    addWav("a.wav", 20 * kFramesPerBlock);
    addWav("b.wav", 20 * kFramesPerBlock);
    app->playlist.currentSong = 1;
    const int refreshes = host.refreshes;
    dispatcher->dispatch(cmd::Play);
    EXPECT_EQ(session->transport().lastStart(), StartResult::Started);
    EXPECT_EQ(app->playState, PlayState::Playing);
    EXPECT_EQ(app->playlist.playingSong, 1);
    EXPECT_EQ(queuedOutputBlocks(), app->stored.blockCount);
    EXPECT_EQ(platform.output->queuedBlocks(), static_cast<size_t>(app->stored.blockCount));
    EXPECT_GT(host.refreshes, refreshes);  // the playing mark

    // Each returned block is refilled and queued again, and repaints the panel.
    const int repaints = host.repaints;
    for (int i = 0; i < 11; ++i) playPeriod();
    EXPECT_EQ(app->playState, PlayState::Playing);
    EXPECT_EQ(queuedOutputBlocks(), app->stored.blockCount);
    EXPECT_EQ(host.repaints, repaints + 11);
    EXPECT_EQ(FormatPlayTime(session->streaming()), " 00:01");  // 15 blocks of 4096 frames made

    // Play while a song runs starts nothing; the transport's own start sets the current song.
    dispatcher->dispatch(cmd::Play);
    EXPECT_EQ(app->playlist.playingSong, 1);
    StopPlayback(session->streaming());
    session->transport().startPlayback(0);
    EXPECT_EQ(app->playlist.currentSong, 0);
    EXPECT_EQ(app->playlist.playingSong, 0);
    EXPECT_EQ(app->playState, PlayState::Playing);
}

TEST_F(WindowStream, StopDrainsTheQueuedBlocksThenClosesAndNoSongFollows) {
    startWindow();
    addWav("a.wav", 20 * kFramesPerBlock);
    addWav("b.wav", 20 * kFramesPerBlock);
    app->continuousPlayback = 1;
    dispatcher->dispatch(cmd::Play);
    playPeriod();
    dispatcher->dispatch(cmd::Stop);
    EXPECT_EQ(app->playState, PlayState::Draining);
    EXPECT_EQ(app->noAdvanceOnce, 1);
    EXPECT_TRUE(session->engine().output);  // the queued blocks play out first
    playPeriod();
    EXPECT_EQ(queuedOutputBlocks(), app->stored.blockCount - 1);  // returned blocks are not refilled
    playUntilStopped();
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(platform.output->streamClosed);
    EXPECT_EQ(app->noAdvanceOnce, 0);
    EXPECT_EQ(app->playlist.currentSong, 0);
    EXPECT_FALSE(host.running(kTimerNextSong));
    dispatcher->dispatch(cmd::Stop);  // nothing to stop
    EXPECT_EQ(app->noAdvanceOnce, 0);
}

TEST_F(WindowStream, TheNextSongStartsOnceWhenTheWindowsTimerOneExpires) {
    startWindow();
    addWav("a.wav", 3 * kFramesPerBlock);
    addWav("b.wav", 3 * kFramesPerBlock);
    app->continuousPlayback = 1;
    dispatcher->dispatch(cmd::Play);
    playUntilStopped();
    EXPECT_EQ(app->playlist.currentSong, 1);
    ASSERT_EQ(host.starts, (std::vector<std::pair<int, int>>{{kTimerNextSong, 1000}}));
    EXPECT_TRUE(nothingOpen());

    // The window's timer 1 expires: the dispatcher hands it to the stream, which stops it.
    const int repaints = host.repaints;
    dispatcher->timer(kTimerNextSong);
    EXPECT_FALSE(host.running(kTimerNextSong));
    EXPECT_EQ(session->transport().lastStart(), StartResult::Started);
    EXPECT_EQ(app->playState, PlayState::Playing);
    EXPECT_EQ(app->playlist.playingSong, 1);
    EXPECT_GT(host.repaints, repaints);
    playUntilStopped();
    EXPECT_EQ(host.starts.size(), 1u);  // the last song ends the run
}

TEST_F(WindowStream, OnAirTogglesTheLockOnlyWhileStoppedAndPlaysTheLivePath) {
    startWindow();
    addWav("a.wav", 20 * kFramesPerBlock);
    app->stored.onAirRateChoice = 0;
    dispatcher->dispatch(cmd::OnAir);
    EXPECT_EQ(app->onAirMode, 1);
    EXPECT_EQ(host.locks, (std::vector<bool>{true}));
    ASSERT_EQ(app->playlist.songCount, 1);
    EXPECT_STREQ(app->playlist.songs[0].path, kOnAirSongPath);
    EXPECT_EQ(app->playlist.songs[0].sampleRate, 32000u);

    dispatcher->dispatch(cmd::Play);
    EXPECT_EQ(app->playState, PlayState::Playing);
    ASSERT_TRUE(platform.input);
    EXPECT_EQ(platform.input->queuedBlocks(), static_cast<size_t>(app->stored.blockCount));
    EXPECT_EQ(platform.output->sampleRate, 32000u);
    EXPECT_EQ(FormatPlayTime(session->streaming()), " ");
    for (int i = 0; i < 6; ++i) playPeriod();
    EXPECT_EQ(app->playState, PlayState::Playing);

    dispatcher->dispatch(cmd::OnAir);  // refused while the stream runs
    EXPECT_EQ(app->onAirMode, 1);
    EXPECT_EQ(host.locks.size(), 1u);

    dispatcher->dispatch(cmd::Stop);
    playUntilStopped();
    EXPECT_TRUE(nothingOpen());
    dispatcher->dispatch(cmd::OnAir);
    EXPECT_EQ(app->onAirMode, 0);
    EXPECT_EQ(host.locks, (std::vector<bool>{true, false}));
    EXPECT_EQ(app->playlist.songCount, 0);  // the songs listed before are gone
}

TEST_F(WindowStream, TimerThreeSwitchesOnAirOnAtStartUpOnlyWhenStopped) {
    app->stored.startOnAirAtBoot = 1;
    startWindow();
    ASSERT_EQ(host.starts, (std::vector<std::pair<int, int>>{{kTimerOnAirBoot, 1500}}));
    const int refreshes = host.refreshes;
    dispatcher->timer(kTimerOnAirBoot);
    EXPECT_FALSE(host.running(kTimerOnAirBoot));
    EXPECT_EQ(app->onAirMode, 1);
    EXPECT_EQ(host.locks, (std::vector<bool>{true}));
    EXPECT_EQ(app->playlist.songCount, 1);
    EXPECT_EQ(session->transport().lastStart(), StartResult::Started);
    EXPECT_EQ(app->playState, PlayState::Playing);
    EXPECT_TRUE(platform.input);
    EXPECT_GT(host.refreshes, refreshes);
    session->close();
    EXPECT_TRUE(nothingOpen());

    // A song that already plays when timer 3 expires keeps playing.
    app->onAirMode = 0;
    host.locks.clear();
    app->playlist.songCount = 0;
    addWav("a.wav", 20 * kFramesPerBlock);
    dispatcher->dispatch(cmd::Play);
    ASSERT_EQ(app->playState, PlayState::Playing);
    host.startTimer(kTimerOnAirBoot, 1500);
    dispatcher->timer(kTimerOnAirBoot);
    EXPECT_FALSE(host.running(kTimerOnAirBoot));
    EXPECT_EQ(app->onAirMode, 0);
    EXPECT_TRUE(host.locks.empty());
    EXPECT_EQ(app->playlist.playingSong, 0);
    EXPECT_STRNE(app->playlist.songs[0].path, kOnAirSongPath);
}

TEST_F(WindowStream, WithoutDevicesBothMessagesShowAndPlayFailsQuietly) {
    platform.outputs.clear();
    platform.inputs.clear();
    app->stored.startOnAirAtBoot = 1;
    startWindow();
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text, kNoOutputDeviceText);
    EXPECT_EQ(host.messages[1].text, kNoInputDeviceText);
    for (const auto& m : host.messages) {
        EXPECT_EQ(m.caption, "Loudara");
        EXPECT_EQ(m.icon, MessageIcon::Exclamation);
    }
    EXPECT_TRUE(host.running(kTimerOnAirBoot));  // start-up goes on

    addWav("a.wav", 20 * kFramesPerBlock);
    dispatcher->dispatch(cmd::Play);
    EXPECT_EQ(session->transport().lastStart(), StartResult::DevicesNotOpened);
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_EQ(host.messages.size(), 2u);
    EXPECT_TRUE(nothingOpen());

    // Timer 3 switches ON-AIR mode on; the start fails the same quiet way, the entry is shown.
    const int refreshes = host.refreshes;
    dispatcher->timer(kTimerOnAirBoot);
    EXPECT_EQ(app->onAirMode, 1);
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_GT(host.refreshes, refreshes);
    EXPECT_EQ(host.messages.size(), 2u);
}

TEST_F(WindowStream, ClosingStopsPlaybackBeforeTheDevicesGo) {
    startWindow();
    addWav("a.wav", 20 * kFramesPerBlock);

    // Playing: the window's closing stops the song at once.
    dispatcher->dispatch(cmd::Play);
    playPeriod();
    ASSERT_EQ(app->playState, PlayState::Playing);
    dispatcher->windowClosing();
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(platform.output->streamClosed);
    session->close();  // nothing left to do
    EXPECT_TRUE(nothingOpen());

    // Draining: the window leaves it; the session's close ends it before the core goes down.
    dispatcher->dispatch(cmd::Play);
    dispatcher->dispatch(cmd::Stop);
    dispatcher->windowClosing();
    EXPECT_EQ(app->playState, PlayState::Draining);
    session->close();
    EXPECT_EQ(app->playState, PlayState::Stopped);
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(platform.output->streamClosed);
}

// A song on a device that runs at another rate is processed at the device's rate; a user preset
// chosen while it plays prepares the processor for that rate too, not for the song's.
TEST_F(WindowStream, UserPresetWhilePlayingKeepsTheStreamsRate) {
    platform.fixedRate = 48000;
    startWindow();
    addWav("a.wav", 20 * kFramesPerBlock);
    dispatcher->dispatch(cmd::Play);
    ASSERT_EQ(app->playState, PlayState::Playing);
    ASSERT_EQ(p->streamRate, 48000);
    dispatcher->dispatch(cmd::UseUserPreset1);
    EXPECT_EQ(p->streamRate, 48000);
    dispatcher->dispatch(cmd::Stop);
    playUntilStopped();
    dispatcher->dispatch(cmd::UseUserPreset1);
    EXPECT_EQ(p->streamRate, 44100) << "stopped, the current song's rate as before";
}

}  // namespace
}  // namespace loudara
